// The filter's arithmetic, for a proof without a bound (tests/rtl/prove):
// every sample's step is
//
//   s <= sat64(ceil(Ky * s / 2^32) + 2 * Ku * u),   y = s[63:32]
//
// with the u and the pair of that sample (the pair the design holds at its
// sampling edge, which lpf_system_rules.sv proves the committed one), s as
// the step before left it, and the result in s from the STEP_CLOCKS-th edge
// after the sampling edge on, until the next step's. Every input is free
// after a reset: stores, reads and resets in any clock.
//
// The product is a function P of the multiplier's operands that the solver
// knows only by its range (lpf_product_free.v): the script cuts the sum of
// the design's pieces, and the harness assumes it is P of the operands
// SUM_CLOCKS clocks before (the pieces' register between, and the split
// sum's two stages where the design has them). Ky * s is then
// P(Ky, s[63:32]) * 2^32 + P(Ky, s[31:0]). That the pieces' sum is the true
// product, the script proves apart (lpf_system_pieces.sv).
//
// Wires marked (* probe *) look inside the design, as in lpf_system_rules.sv.
`default_nettype none

module lpf_system_step #(
`include "lpf_harness_map.vh"
    parameter integer CLOCK_HZ = 50000000,
    parameter integer PHASE_BITS = 1
) (
    input wire        clk,
    input wire        reset,
    input wire [4:0]  address,
    input wire        write,
    input wire [31:0] writedata,
    input wire [3:0]  byteenable,
    input wire        read
);
    localparam integer DIVIDER = CLOCK_HZ / 10000000;
    // The schedule of the design's header: from 9 clocks a sample on, the
    // pieces' sum takes three clocks, the accumulator's sums two each.
    localparam SPLIT = DIVIDER >= 9;
    localparam integer STEP_CLOCKS = SPLIT ? 9 : 5;
    localparam integer SUM_CLOCKS = SPLIT ? 3 : 1;  // operands to the pieces' sum
    localparam integer PRODUCT_AT = SUM_CLOCKS + 1; // the drive's product, then the low and the high
    localparam integer ACC_AT = PRODUCT_AT + 1;      // acc = 2 * Ku * u

    wire [31:0] readdata, led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) dut (
        .clk(clk), .reset(reset), .address(address), .write(write), .writedata(writedata),
        .byteenable(byteenable), .read(read), .readdata(readdata), .led(led));
    (* probe *) wire [31:0] probe_dut_mul_a;
    (* probe *) wire [32:0] probe_dut_mul_b;
    (* probe *) wire [65:0] probe_dut_pieces_sum;
    (* probe *) wire [31:0] probe_dut_u_q, probe_dut_ku_pair, probe_dut_ky_pair, probe_dut_ky_step;
    (* probe *) wire [63:0] probe_dut_s_q;
    (* probe *) wire [65:0] probe_dut_product, probe_dut_acc;
    (* probe *) wire probe_dut_low_nonzero, probe_dut_carry;
    (* probe *) wire [32:0] probe_dut_addend_high;
    (* probe *) wire probe_dut_stepping, probe_dut_formal_consistent;
    (* probe *) wire [PHASE_BITS-1:0] probe_dut_phase;

    // P(a, b) from its magnitude: the sign of b, and below 2^63 where b
    // is a 32-bit value widened by its sign (|b| <= 2^31), below 2^64
    // otherwise, as the true product of a below 2^32.
    function signed [65:0] product(input [32:0] b, input [63:0] magnitude);
        reg [63:0] m;
        begin
            m = b[32] == b[31] ? {1'b0, magnitude[62:0]} : magnitude;
            product = b[32] ? -$signed({2'b00, m}) : $signed({2'b00, m});
        end
    endfunction

    // The multiplier: the pieces' sum is P of the operands SUM_CLOCKS
    // clocks before: a_d and b_d are the operands d clocks before.
    reg [31:0] a_1, a_2, a_3;
    reg [32:0] b_1, b_2, b_3;
    always @(posedge clk) {a_1, b_1, a_2, b_2, a_3, b_3} <= {probe_dut_mul_a, probe_dut_mul_b, a_1, b_1, a_2, b_2};
    wire [31:0] a_sum = SPLIT ? a_3 : a_1;
    wire [32:0] b_sum = SPLIT ? b_3 : b_1;
    wire [63:0] cut_magnitude;
    lpf_product_free cut_product (.a(a_sum), .b(b_sum), .magnitude(cut_magnitude));
    wire signed [65:0] cut_p = product(b_sum, cut_magnitude);
    always @(*) assume (probe_dut_pieces_sum == cut_p);

    // The sample clock, as in lpf_system_rules.sv: phase_s is 0 in the
    // clock after a sampling edge.
    reg [7:0] phase_s;
    reg sampled; // a sampling edge since the last reset
    wire sampling = phase_s == DIVIDER - 1;
    reg signed [31:0] step_u;
    reg [31:0] step_ku, step_ky;
    reg [63:0] step_s; // s as the step takes it, from the clock after its sampling edge
    always @(posedge clk) begin
        if (reset) begin
            phase_s <= 8'd0;
            sampled <= 1'b0;
        end else begin
            phase_s <= sampling ? 8'd0 : phase_s + 8'd1;
            if (sampling) begin
                sampled <= 1'b1;
                {step_u, step_ku, step_ky} <= {probe_dut_u_q, probe_dut_ku_pair, probe_dut_ky_pair};
            end
        end
        if (phase_s == 8'd0)
            step_s <= probe_dut_s_q;
    end

    // The step.
    wire [63:0] drive_m, low_m, high_m;
    lpf_product_free drive_product (.a(step_ku), .b({step_u[31], step_u}), .magnitude(drive_m));
    lpf_product_free low_product (.a(step_ky), .b({1'b0, step_s[31:0]}), .magnitude(low_m));
    lpf_product_free high_product (.a(step_ky), .b({step_s[63], step_s[63:32]}), .magnitude(high_m));
    wire signed [65:0] drive = product({step_u[31], step_u}, drive_m);              // Ku * u
    wire signed [65:0] low = product({1'b0, step_s[31:0]}, low_m);                  // Ky * s[31:0]
    wire signed [65:0] high = product({step_s[63], step_s[63:32]}, high_m);         // Ky * s[63:32]
    wire signed [97:0] ky_s = $signed({high, 32'd0}) + low;                         // Ky * s
    // ceil(x / 2^32): the floor (>>> floors), one more if x / 2^32 has a
    // fraction.
    wire signed [67:0] scaled = $signed(ky_s[97:32]) + $signed({1'b0, ky_s[31:0] != 32'd0});
    wire signed [67:0] exact = scaled + $signed({drive, 1'b0});
    wire signed [67:0] max64 = 68'sh7FFFFFFFFFFFFFFF, min64 = -68'sh8000000000000000;
    wire [63:0] step_result = exact > max64 ? max64[63:0] : exact < min64 ? min64[63:0] : exact[63:0];
    // The step's operands in the order the multiplier takes them, clock k
    // after the sampling edge (k = 0, 1, 2).
    function [64:0] operands(input [7:0] k);
        operands = k == 8'd0 ? {step_ku, step_u[31], step_u} :
                   k == 8'd1 ? {step_ky, 1'b0, step_s[31:0]} : {step_ky, step_s[63], step_s[63:32]};
    endfunction
    // Split: the first sum's low half with its carry, and the second's.
    wire [65:0] twice_drive = {drive[64:0], 1'b0};
    wire [65:0] first_sum = twice_drive + {34'd0, low[63:32]};
    wire [33:0] first_low = {1'b0, twice_drive[32:0]} + {2'd0, low[63:32]};
    wire [33:0] second_low = {1'b0, first_sum[32:0]} + {1'b0, high[32:0]} + {33'd0, low[31:0] != 32'd0};
    wire [65:0] second_sum = first_sum + high + {65'd0, low[31:0] != 32'd0};

    reg [63:0] result;
    reg held; // result holds a step's result
    always @(posedge clk) begin
        if (reset) begin
            held <= 1'b0;
        end else if (phase_s == STEP_CLOCKS - 1) begin
            result <= step_result;
            held <= sampled;
        end
    end

    reg checking = 1'b0;
    reg was_reset, was_y;
    reg [31:0] was_y_value;
    always @(posedge clk) begin
        checking <= 1'b1;
        was_reset <= reset;
        was_y <= read && address == Y_WORD;
        was_y_value <= probe_dut_s_q[63:32];
    end
    initial assume (reset);
    always @(*) if (!checking) assume ($initstate);

    always @(*) begin
        if (checking) begin
            // Each sample's result, from its STEP_CLOCKS-th edge on.
            if (held)
                assert (probe_dut_s_q == result);
            // y is the top half of s.
            if (!was_reset && was_y)
                assert (readdata == was_y_value);
            // What makes it inductive: the design's sample clock is the
            // harness's, and its pipeline holds, clock by clock, the step's
            // operands, products and sums (the table in the design's header).
            assert (phase_s < DIVIDER && probe_dut_phase == phase_s[PHASE_BITS-1:0]);
            assert (probe_dut_formal_consistent && probe_dut_stepping == sampled);
            if (sampled) begin
                if (phase_s == 8'd0)
                    assert (probe_dut_ky_step == step_ky);
                if (phase_s <= 8'd2)
                    assert ({probe_dut_mul_a, probe_dut_mul_b} == operands(phase_s));
                if (phase_s >= 8'd1 && phase_s <= 8'd3)
                    assert ({a_1, b_1} == operands(phase_s - 8'd1));
                if (SPLIT && phase_s >= 8'd2 && phase_s <= 8'd4)
                    assert ({a_2, b_2} == operands(phase_s - 8'd2));
                if (SPLIT && phase_s >= 8'd3 && phase_s <= 8'd5)
                    assert ({a_3, b_3} == operands(phase_s - 8'd3));
                if (phase_s >= 8'd1 && phase_s <= STEP_CLOCKS - 1)
                    assert (probe_dut_s_q == step_s);
                if (phase_s == PRODUCT_AT)
                    assert (probe_dut_product == drive);
                if (phase_s == PRODUCT_AT + 1)
                    assert (probe_dut_product == low && probe_dut_acc == {drive[64:0], 1'b0});
                if (phase_s == PRODUCT_AT + 2)
                    assert (probe_dut_product == high);
                // The sums so far; split, with the carry and the addend's
                // high half that the next clock adds to acc's high half.
                if (!SPLIT && phase_s == PRODUCT_AT + 2)
                    assert (probe_dut_acc == {drive[64:0], 1'b0} + {34'd0, low[63:32]} &&
                            probe_dut_low_nonzero == (low[31:0] != 32'd0));
                if (SPLIT && phase_s == ACC_AT + 1)
                    assert ({probe_dut_carry, probe_dut_acc[32:0]} == first_low && probe_dut_addend_high == 33'd0 &&
                            probe_dut_acc[65:33] == twice_drive[65:33] &&
                            probe_dut_low_nonzero == (low[31:0] != 32'd0));
                if (SPLIT && phase_s == ACC_AT + 2)
                    assert ({probe_dut_carry, probe_dut_acc[32:0]} == second_low && probe_dut_addend_high == high[65:33] &&
                            probe_dut_acc[65:33] == first_sum[65:33]);
                // The sums' order is the step's (proved once here, so
                // that the clocks of the split sums need not prove it).
                if (SPLIT)
                    assert (second_sum == exact[65:0]);
                if (SPLIT && phase_s == ACC_AT + 3)
                    assert (probe_dut_acc == second_sum);
            end
        end
    end
endmodule

`default_nettype wire
