// That the design's four pieces and their sum form the product of the
// multiplier's operands, a clock after the operands (the pieces' register
// between; three where the design splits the sum into stages): what lpf_system_step.sv leaves to a function P of them
// (tests/rtl/prove). No solver here closes the 32 x 33 product against the
// pieces' own multipliers at full width, so the proof splits at the pieces:
// each piece is a free function of its operands (lpf_multiply_piece_free.v)
// in the range of their product, and the sum of the pieces must lose no
// carry: pieces_sum = p11 * 2^32 + (p01 + p10) * 2^16 + p00, with the
// operands split as a = a1 * 2^16 + a0 and b = b1 * 2^16 + b0, and each
// piece p_ij the function of a_i and b_j. That is a * b by multiplying out.
`default_nettype none

module lpf_system_pieces #(
`include "lpf_harness_map.vh"
    parameter integer CLOCK_HZ = 50000000
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
    (* probe *) wire [31:0] probe_dut_mul_a;
    (* probe *) wire [32:0] probe_dut_mul_b;
    (* probe *) wire [16:0] probe_dut_a0, probe_dut_a1, probe_dut_b0, probe_dut_b1;
    (* probe *) wire [33:0] probe_dut_piece00_whole, probe_dut_piece01, probe_dut_piece10, probe_dut_piece11;
    (* probe *) wire [65:0] probe_dut_pieces_sum;

    // |a_i * b_j| <= (2^16 - 1) * 2^16, a0 * b0 >= 0: the pieces' range.
    function in_range(input signed [33:0] p, input nonnegative);
        in_range = p <= 34'sh0FFFF0000 && p >= (nonnegative ? 34'sd0 : -34'sh0FFFF0000);
    endfunction
    always @(*) assume (in_range(probe_dut_piece00_whole, 1'b1) && in_range(probe_dut_piece01, 1'b0) &&
                        in_range(probe_dut_piece10, 1'b0) && in_range(probe_dut_piece11, 1'b0));

    reg [31:0] a_1;
    reg signed [32:0] b_1;
    reg signed [16:0] a0_1, a1_1, b0_1, b1_1;
    reg signed [33:0] p00_1, p01_1, p10_1, p11_1;
    reg signed [135:0] pieces_2, pieces_3; // the pieces two and three clocks before
    reg checking = 1'b0;
    reg [1:0] filled = 2'd0; // clocks checked, up to the split sum's three
    always @(posedge clk) begin
        {a_1, b_1} <= {probe_dut_mul_a, probe_dut_mul_b};
        {a0_1, a1_1, b0_1, b1_1} <= {probe_dut_a0, probe_dut_a1, probe_dut_b0, probe_dut_b1};
        {p00_1, p01_1, p10_1, p11_1} <= {probe_dut_piece00_whole, probe_dut_piece01, probe_dut_piece10, probe_dut_piece11};
        {pieces_2, pieces_3} <= {p00_1, p01_1, p10_1, p11_1, pieces_2};
        checking <= 1'b1;
        if (checking && filled != 2'd3)
            filled <= filled + 2'd1;
    end
    initial assume (reset);
    always @(*) if (!checking) assume ($initstate);
    // Each piece is the function of the right halves: a copy of the same
    // free function, given them, must agree with the design's piece (which
    // the solver could otherwise tell apart for any other wiring).
    wire [33:0] want00, want01, want10, want11;
    lpf_multiply_piece want_a0_b0 (.a(probe_dut_a0), .b(probe_dut_b0), .p(want00));
    lpf_multiply_piece want_a0_b1 (.a(probe_dut_a0), .b(probe_dut_b1), .p(want01));
    lpf_multiply_piece want_a1_b0 (.a(probe_dut_a1), .b(probe_dut_b0), .p(want10));
    lpf_multiply_piece want_a1_b1 (.a(probe_dut_a1), .b(probe_dut_b1), .p(want11));
    always @(*)
        if (checking)
            assert (probe_dut_piece00_whole == want00 && probe_dut_piece01 == want01 &&
                    probe_dut_piece10 == want10 && probe_dut_piece11 == want11);

    // The pieces the sum is of: a clock before, or three where it is split
    // (from 9 clocks a sample on, as the design's header says).
    localparam SPLIT = CLOCK_HZ / 10000000 >= 9;
    wire signed [33:0] q00, q01, q10, q11;
    assign {q00, q01, q10, q11} = SPLIT ? pieces_3 : {p00_1, p01_1, p10_1, p11_1};
    wire signed [69:0] whole = (q11 <<< 32) + ((q01 + q10) <<< 16) + q00;
    always @(*) begin
        if (checking) begin
            // The operands split, the pieces' signs as a multiplier block takes them.
            assert ($signed({1'b0, a_1}) == (a1_1 <<< 16) + a0_1 && b_1 == (b1_1 <<< 16) + b0_1);
            assert (!a0_1[16] && !a1_1[16] && !b0_1[16]);
            // The sum, every carry kept.
            if (!SPLIT || filled == 2'd3)
                assert ($signed(probe_dut_pieces_sum) == whole);
        end
    end
endmodule

`default_nettype wire
