// The bus rules of lpf_system, for a bounded proof (tests/rtl/prove). Every
// input is free from the clock after a reset on: the solver looks for any
// sequence of reads, stores, lanes and resets that breaks a rule. A shadow
// of the four registers, kept by the rules, says what reads must return. The
// word indices come from lib/hwregs/hwregs.h.
`default_nettype none

module lpf_system_bus #(
    parameter integer CLOCK_HZ = 50000000,
    parameter [4:0] LED_WORD = 5'd31,
    parameter [4:0] U_WORD = 5'd31,
    parameter [4:0] KU_WORD = 5'd31,
    parameter [4:0] KY_WORD = 5'd31,
    parameter [4:0] Y_WORD = 5'd31,
    // Which rules: 0 the registers', 1 y from reset (which needs more clocks)
    parameter integer RULES = 0
) (
    input wire        clk,
    input wire        reset,
    input wire [4:0]  address,
    input wire        write,
    input wire [31:0] writedata,
    input wire [3:0]  byteenable,
    input wire        read
);
    wire [31:0] readdata, led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) dut (
        .clk(clk), .reset(reset), .address(address), .write(write), .writedata(writedata),
        .byteenable(byteenable), .read(read), .readdata(readdata), .led(led));

    // The registers as the rules keep them.
    reg [31:0] led_s, u_s, ku_s, ky_s;
    reg pair_stored; // a store to Ky since the last reset
    wire [31:0] lanes = {{8{byteenable[3]}}, {8{byteenable[2]}}, {8{byteenable[1]}}, {8{byteenable[0]}}};
    wire stores_ky = write && address == KY_WORD && byteenable != 4'd0;
    reg [31:0] word_s;
    always @(*) begin
        case (address)
            LED_WORD: word_s = led_s;
            U_WORD: word_s = u_s;
            KU_WORD: word_s = ku_s;
            KY_WORD: word_s = ky_s;
            default: word_s = 32'd0;
        endcase
    end
    always @(posedge clk) begin
        if (reset) begin
            {led_s, u_s, ku_s, ky_s} <= 128'd0;
            pair_stored <= 1'b0;
        end else if (write) begin
            if (address == LED_WORD) led_s <= (led_s & ~lanes) | (writedata & lanes);
            if (address == U_WORD) u_s <= (u_s & ~lanes) | (writedata & lanes);
            if (address == KU_WORD) ku_s <= (ku_s & ~lanes) | (writedata & lanes);
            if (address == KY_WORD) ky_s <= (ky_s & ~lanes) | (writedata & lanes);
            if (stores_ky) pair_stored <= 1'b1;
        end
    end

    // The clock before, as the checks after the edge need it.
    reg checking = 1'b0;
    reg was_reset, was_read, was_y, was_known, pair_was_stored;
    reg [31:0] was_word, was_readdata;
    always @(posedge clk) begin
        checking <= 1'b1;
        was_reset <= reset;
        was_read <= read;
        was_y <= address == Y_WORD;
        was_known <= address != Y_WORD; // the shadow knows every word but y
        was_word <= word_s;
        was_readdata <= readdata;
        pair_was_stored <= pair_stored;
    end

    initial assume (reset);

    always @(*) begin
        if (checking && RULES == 0) begin
            // Reset values: everything reads 0 and the lamps are dark.
            if (was_reset)
                assert (readdata == 32'd0 && led == 32'd0);
            // Read-back of LED, u, Ku and Ky with their lanes, 0 from every
            // other word but y, one clock after the read.
            if (!was_reset && was_read && was_known)
                assert (readdata == was_word);
            // Without a read, the read data holds.
            if (!was_reset && !was_read)
                assert (readdata == was_readdata);
            // The lamps show the LED register.
            assert (led == led_s);
        end
        // No pair stored since reset: Ku is 0 in the filter, and y stays 0
        // whatever the pipeline held at power-up or before the reset.
        if (checking && RULES == 1 && !was_reset && was_read && was_y && !pair_was_stored)
            assert (readdata == 32'd0);
    end
endmodule

`default_nettype wire
