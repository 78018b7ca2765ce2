// The FPGA side of the tools: the LED port and the LPf first-order low-pass
// filter core, as one memory-mapped slave of 32-bit words, to sit at offset 0
// of the lightweight processor-to-FPGA bridge's window. The word address has
// 5 bits, so the slave spans 0x80 bytes.
//
// Words (byte offset / 4): 0 LED, 4 u, 8 Ku, 12 Ky, 16 y; the map's home is
// lib/hwregs/hwregs.h, and the co-simulation and the bus proof drive these
// words at its addresses. LED, u, Ku and Ky read back what was last stored;
// y is read-only; any other word reads 0 and ignores stores. A store writes
// only the byte lanes that `byteenable` enables. A read gives its word on the
// clock edge after `read` (one clock of latency, no wait states); a read and
// a store of one word in the same clock read the value from before the store.
//
// Coefficient pairs: Ku and Ky change together. A store to Ku is held: Ku
// reads back at once, but the filter keeps running on the pair it has until
// the next store to Ky (any lane enabled), and from the first sample after
// that store on it runs on the new Ky with the Ku last stored. So the
// console's order, Ku then Ky, is what makes a pair, and however far apart
// the two stores come, no sample runs on a mixed pair. A store to Ky alone
// keeps the Ku in use; Ky stored before Ku leaves that Ku held.
//
// The filter takes one sample every 100 ns. Its state s is 64 bits, y its
// top 32: the 32 bits of fraction below y keep the output from stopping
// short of its steady state.
//
//   s <= sat64(ceil(Ky * s / 2^32) + 2 * Ku * u),   y = s[63:32]
//
// Ky and Ku unsigned, u, y and s signed, exact: the simulated board's step.
//
// Timing. The sampling edge is the last clock edge of each 100 ns; the
// sample takes u and the pair as they stand just before it (a store in the
// clock that ends there counts from the next sample). One shared 33 x 33
// multiplier, with registers on its inputs and its output as a DSP block
// has them, forms one product a clock, so the step takes four clocks:
//
//   edge after   multiplier in    product         accumulator / state
//   sampling     Ku, u
//   +1           Ky, s[31:0]      Ku * u
//   +2           Ky, s[63:32]     Ky * s[31:0]    acc = 2 * Ku * u
//   +3                            Ky * s[63:32]   acc += ceil(Ky * s[31:0] / 2^32)
//   +4                                            s = sat64(acc + Ky * s[63:32])
//
// so y holds a sample's result from the 4th clock edge after its sampling
// edge on, and a read in the clock after that edge returns it. The next step
// reads s[31:0] into the multiplier one edge after its sampling edge, so the
// loop closes with four clocks a sample: CLOCK_HZ must be a multiple of
// 10 MHz and at least 40 MHz, or elaboration fails on a module whose name
// says which.
`default_nettype none

module lpf_system #(
    parameter integer CLOCK_HZ = 50000000 // a multiple of 10 MHz, at least 40 MHz
) (
    input  wire        clk,
    input  wire        reset,      // synchronous, active high
    input  wire [4:0]  address,    // word index
    input  wire        write,
    input  wire [31:0] writedata,
    input  wire [3:0]  byteenable, // one per byte lane of writedata, for stores
    input  wire        read,
    output reg  [31:0] readdata,
    output wire [31:0] led
);
    localparam integer SAMPLE_HZ = 10000000;
    localparam integer DIVIDER = CLOCK_HZ / SAMPLE_HZ;
    localparam integer STEP_CLOCKS = 4;
    localparam integer PHASE_BITS = DIVIDER > STEP_CLOCKS ? $clog2(DIVIDER) : 2;
    localparam [PHASE_BITS-1:0] LAST_PHASE = DIVIDER[PHASE_BITS-1:0] - 1'b1;
    // The clock after the sampling edge is phase 0; the step's stages end on
    // the edges that close phases 0 to 3.
    localparam [PHASE_BITS-1:0] LOAD_KY = 0, SCALE_DRIVE = 1, ADD_LOW = 2, ADD_HIGH = 3;

    localparam [4:0] LED_WORD = 5'd0;
    localparam [4:0] U_WORD = 5'd4;
    localparam [4:0] KU_WORD = 5'd8;
    localparam [4:0] KY_WORD = 5'd12;
    localparam [4:0] Y_WORD = 5'd16;

    // A clock the design cannot sample with fails the build.
    generate
        if (DIVIDER < 1 || CLOCK_HZ % SAMPLE_HZ != 0) begin : bad_clock
            lpf_system_CLOCK_HZ_must_be_a_multiple_of_10_MHz bad_clock_hz ();
        end else if (DIVIDER < STEP_CLOCKS) begin : slow_clock
            lpf_system_CLOCK_HZ_must_be_at_least_40_MHz slow_clock_hz ();
        end
    endgenerate

    reg [31:0] led_q;
    reg signed [31:0] u_q;
    reg [31:0] ku_q;    // last stored, what a load of Ku returns
    reg [31:0] ku_pair; // the Ku the filter runs on: ku_q as of the last Ky store
    reg [31:0] ky_q;    // last stored, and the Ky the filter runs on
    reg signed [63:0] s_q;
    reg [PHASE_BITS-1:0] phase;
    reg stepping;       // a whole step is in the pipeline: s may take its result

    wire sample = phase == LAST_PHASE;
    wire [31:0] y = s_q[63:32];
    wire [31:0] lanes = {{8{byteenable[3]}}, {8{byteenable[2]}}, {8{byteenable[1]}}, {8{byteenable[0]}}};
    wire [31:0] stored_led = (led_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_u = (u_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_ku = (ku_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_ky = (ky_q & ~lanes) | (writedata & lanes);

    // The step's pipeline. No reset: each stage is written before it is
    // read, and s takes a result only once `stepping` says a whole step,
    // begun at a sampling edge after reset, has gone through.
    reg signed [32:0] mul_a, mul_b;
    reg signed [65:0] product;
    reg [31:0] ky_step; // the sample's Ky, for the two products after a store may have changed ky_q
    reg signed [65:0] acc;

    // Exact throughout: operands are 32-bit values widened by a sign or a
    // zero bit, so 66 bits hold every product. ceil(Ky * s / 2^32) is
    // Ky * s[63:32] + ceil(Ky * s[31:0] / 2^32), and the ceiling of the low
    // product's division is its high half plus one when its low half is not
    // 0. |acc| < 2^64 + 2^32 and |Ky * s[63:32]| < 2^63, so the sum needs 66
    // bits; one adder serves both additions.
    wire adding_low = phase == ADD_LOW;
    wire signed [65:0] addend = adding_low ? {34'd0, product[63:32]} : product;
    wire round_up = adding_low && product[31:0] != 32'd0;
    wire signed [65:0] sum = acc + addend + {65'd0, round_up};
    wire fits = sum[65:63] == 3'b000 || sum[65:63] == 3'b111;
    wire [63:0] s_next = fits ? sum[63:0] : sum[65] ? 64'h8000000000000000 : 64'h7FFFFFFFFFFFFFFF;

    always @(posedge clk) begin
        product <= mul_a * mul_b;
        if (sample) begin
            mul_a <= {1'b0, ku_pair};
            mul_b <= {u_q[31], u_q};
            ky_step <= ky_q;
        end else if (phase == LOAD_KY) begin
            mul_a <= {1'b0, ky_step};
            mul_b <= {1'b0, s_q[31:0]};
        end else if (phase == SCALE_DRIVE) begin
            mul_b <= {s_q[63], s_q[63:32]};
        end
        if (phase == SCALE_DRIVE)
            acc <= {product[64:0], 1'b0};
        else if (adding_low)
            acc <= sum;
    end

    always @(posedge clk) begin
        if (reset) begin
            led_q <= 32'd0;
            u_q <= 32'sd0;
            ku_q <= 32'd0;
            ku_pair <= 32'd0;
            ky_q <= 32'd0;
            s_q <= 64'sd0;
            phase <= {PHASE_BITS{1'b0}};
            stepping <= 1'b0;
            readdata <= 32'd0;
        end else begin
            phase <= sample ? {PHASE_BITS{1'b0}} : phase + 1'b1;
            if (sample)
                stepping <= 1'b1;
            if (stepping && phase == ADD_HIGH)
                s_q <= s_next;
            if (write) begin
                case (address)
                    LED_WORD: led_q <= stored_led;
                    U_WORD: u_q <= stored_u;
                    KU_WORD: ku_q <= stored_ku;
                    KY_WORD:
                        if (byteenable != 4'd0) begin
                            ky_q <= stored_ky;
                            ku_pair <= ku_q; // the pair: Ku and Ky from the next sample on
                        end
                    default: ; // y is read-only; other words ignore stores
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
