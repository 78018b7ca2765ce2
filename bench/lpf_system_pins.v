// lpf_system with two pins, for place and route alone (bench/fpga-families):
// the bus comes in through a shift register and the read data and lamps go
// out folded into one bit, so that a small package holds it and nothing of
// the core is optimized away. Only the core's own paths are measured.
`default_nettype none

module lpf_system_pins #(
    parameter integer CLOCK_HZ = 50000000
) (
    input  wire clk,
    input  wire serial_in,
    output reg  serial_out
);
    reg [43:0] bus; // reset, address, write, writedata, byteenable, read
    always @(posedge clk)
        bus <= {bus[42:0], serial_in};
    wire [31:0] readdata, led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) core (
        .clk(clk), .reset(bus[0]), .address(bus[5:1]), .write(bus[6]), .writedata(bus[38:7]),
        .byteenable(bus[42:39]), .read(bus[43]), .readdata(readdata), .led(led));
    always @(posedge clk)
        serial_out <= ^{readdata, led};
endmodule

`default_nettype wire
