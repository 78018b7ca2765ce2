// The FPGA side of the tools: the LED port and the LPf first-order low-pass
// filter core, as one memory-mapped slave of 32-bit words, to sit at offset 0
// of the lightweight processor-to-FPGA bridge's window.
//
// Words (byte offset / 4): 0 LED, 4 u, 8 Ku, 12 Ky, 16 y. LED, u, Ku and Ky
// read back what was last written; y is read-only; any other word reads 0
// and ignores writes. A read gives its word on the clock edge after `read`
// (one cycle of latency, no wait states); a read and a write of one word in
// the same cycle read the value from before the write.
//
// The filter takes one sample every 100 ns, with the u, Ku and Ky held at
// that sample (a write in the sampling cycle counts from the next sample).
// Its state s is 64 bits, y its top 32: the 32 bits of fraction below y keep
// the output from stopping short of its steady state.
//
//   s <= sat64(ceil(Ky * s / 2^32) + 2 * Ku * u),   y = s[63:32]
//
// Ky and Ku unsigned, u, y and s signed, exact: the simulated board's step.
`default_nettype none

module lpf_system #(
    parameter integer CLOCK_HZ = 50000000 // a multiple of 10 MHz
) (
    input  wire        clk,
    input  wire        reset,     // synchronous, active high
    input  wire [4:0]  address,   // word index
    input  wire        write,
    input  wire [31:0] writedata,
    input  wire        read,
    output reg  [31:0] readdata,
    output wire [31:0] led
);
    localparam integer SAMPLE_HZ = 10000000;
    localparam integer DIVIDER = CLOCK_HZ / SAMPLE_HZ;
    localparam integer PHASE_BITS = DIVIDER > 1 ? $clog2(DIVIDER) : 1;
    localparam [PHASE_BITS-1:0] LAST_PHASE = DIVIDER[PHASE_BITS-1:0] - 1'b1;

    localparam [4:0] LED_WORD = 5'd0;
    localparam [4:0] U_WORD = 5'd4;
    localparam [4:0] KU_WORD = 5'd8;
    localparam [4:0] KY_WORD = 5'd12;
    localparam [4:0] Y_WORD = 5'd16;

    // A clock the sample period does not divide fails the build.
    generate
        if (DIVIDER < 1 || CLOCK_HZ % SAMPLE_HZ != 0) begin : bad_clock
            lpf_system_CLOCK_HZ_must_be_a_multiple_of_10_MHz bad_clock_hz ();
        end
    endgenerate

    reg [31:0] led_q;
    reg signed [31:0] u_q;
    reg [31:0] ku_q;
    reg [31:0] ky_q;
    reg signed [63:0] s_q;
    reg [PHASE_BITS-1:0] phase;

    wire sample = phase == LAST_PHASE;
    wire [31:0] y = s_q[63:32];

    // Exact throughout: |Ky * s| < 2^95, and adding 2^32 - 1 before dropping
    // the low 32 bits of a signed number gives the ceiling of the division by
    // 2^32, which lies below 2^63 in magnitude; |2 * Ku * u| < 2^64, so the
    // sum needs 66 bits.
    wire signed [96:0] feedback = $signed({1'b0, ky_q}) * s_q;
    /* verilator lint_off UNUSEDSIGNAL */
    wire signed [96:0] feedback_up = feedback + 97'sh0_0000_0000_FFFF_FFFF;
    /* verilator lint_on UNUSEDSIGNAL */
    wire signed [64:0] decayed = feedback_up[96:32];
    wire signed [65:0] drive = $signed({1'b0, ku_q, 1'b0}) * u_q;
    wire signed [65:0] sum = decayed + drive;
    wire fits = sum[65:63] == 3'b000 || sum[65:63] == 3'b111;
    wire [63:0] s_next = fits ? sum[63:0] : sum[65] ? 64'h8000000000000000 : 64'h7FFFFFFFFFFFFFFF;

    always @(posedge clk) begin
        if (reset) begin
            led_q <= 32'd0;
            u_q <= 32'sd0;
            ku_q <= 32'd0;
            ky_q <= 32'd0;
            s_q <= 64'sd0;
            phase <= {PHASE_BITS{1'b0}};
            readdata <= 32'd0;
        end else begin
            phase <= sample ? {PHASE_BITS{1'b0}} : phase + 1'b1;
            if (sample)
                s_q <= s_next;
            if (write) begin
                case (address)
                    LED_WORD: led_q <= writedata;
                    U_WORD: u_q <= writedata;
                    KU_WORD: ku_q <= writedata;
                    KY_WORD: ky_q <= writedata;
                    default: ; // y is read-only; other words ignore writes
                endcase
            end
            if (read) begin
                case (address)
                    LED_WORD: readdata <= led_q;
                    U_WORD: readdata <= u_q;
                    KU_WORD: readdata <= ku_q;
                    KY_WORD: readdata <= ky_q;
                    Y_WORD: readdata <= y;
                    default: readdata <= 32'd0;
                endcase
            end
        end
    end

    assign led = led_q;
endmodule

`default_nettype wire
