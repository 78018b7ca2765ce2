// Two copies of lpf_system, for a proof without a bound (tests/rtl/prove)
// that reads, and stores to any word but u, Ku and Ky, never change the
// filter. The copies are reset together and take the same stores to u, Ku
// and Ky in the same clocks; everything else on their buses is free, and
// different for each. Their filters must stay in the same state: the same
// registers, the same pipeline where it is live (formal_state), and so the
// same y. Each copy's multiplier pieces may be any function of their
// operands, the same for both (the script puts one in their place), which
// proves more than the multiplier itself needs.
//
// Wires marked (* probe *) look inside the designs: the script connects
// probe_a_X and probe_b_X to X in copies a and b, and sets X_BITS to the
// width of X where the harness needs it.
`default_nettype none

module lpf_system_twins #(
`include "lpf_harness_map.vh"
    parameter integer CLOCK_HZ = 50000000,
    // A fault planted on copy b's bus, which the proof must find: 3 the
    // 100th store to a word other than u, Ku and Ky (in a clock without a
    // read) goes to u instead.
    parameter integer FAULT = 0,
    // The width of the design's formal_state, as the script reads it from
    // the design.
    parameter integer FORMAL_STATE_BITS = 1
) (
    input wire        clk,
    input wire        reset,
    input wire [4:0]  a_address, b_address,
    input wire        a_write, b_write,
    input wire [31:0] a_writedata, b_writedata,
    input wire [3:0]  a_byteenable, b_byteenable,
    input wire        a_read, b_read
);
    wire a_filter = a_write && (a_address == U_WORD || a_address == KU_WORD || a_address == KY_WORD);
    wire b_filter = b_write && (b_address == U_WORD || b_address == KU_WORD || b_address == KY_WORD);
    initial assume (reset);
    always @(*)
        if (a_filter || b_filter)
            assume (a_write == b_write && a_address == b_address && a_writedata == b_writedata &&
                    a_byteenable == b_byteenable);

    // The planted fault, if any, on copy b's bus.
    reg [6:0] faulty_count = 7'd0;
    wire counted = FAULT == 3 && b_write && !b_read && !b_filter;
    always @(posedge clk)
        if (counted && faulty_count != 7'd127) faulty_count <= faulty_count + 7'd1;
    wire [4:0] b_dut_address = counted && faulty_count == 7'd99 ? U_WORD : b_address;

    wire [31:0] a_readdata, a_led, b_readdata, b_led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) a (
        .clk(clk), .reset(reset), .address(a_address), .write(a_write), .writedata(a_writedata),
        .byteenable(a_byteenable), .read(a_read), .readdata(a_readdata), .led(a_led));
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) b (
        .clk(clk), .reset(reset), .address(b_dut_address), .write(b_write), .writedata(b_writedata),
        .byteenable(b_byteenable), .read(b_read), .readdata(b_readdata), .led(b_led));
    (* probe *) wire [FORMAL_STATE_BITS-1:0] probe_a_formal_state, probe_b_formal_state;
    (* probe *) wire probe_a_formal_consistent, probe_b_formal_consistent;

    reg checking = 1'b0; // from the clock after the first reset on
    reg was_y;           // both copies read y
    always @(posedge clk) begin
        checking <= 1'b1;
        was_y <= a_read && b_read && a_address == Y_WORD && b_address == Y_WORD;
    end
    always @(*) if (!checking) assume ($initstate); // so induction may start at any later state
    always @(*) begin
        if (checking) begin
            assert (probe_a_formal_state == probe_b_formal_state);
            assert (probe_a_formal_consistent && probe_b_formal_consistent);
            if (was_y)
                assert (a_readdata == b_readdata);
        end
    end
endmodule

`default_nettype wire
