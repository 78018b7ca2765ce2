// The FPGA side of the tools: the LED port and the LPf first-order low-pass
// filter core, as one memory-mapped slave, to sit at offset 0 of the
// lightweight processor-to-FPGA bridge's window.
//
// The slave's contract, as an integration needs it:
//
// - Data: 32 bits, in four byte lanes. `byteenable[i]` enables lane i
//   (writedata[8i+7:8i]) of a store; reads always return the whole word.
// - Address: `address` is a word index (byte offset / 4): the slave takes
//   the bridge's byte address bits 6:2 and spans 0x80 bytes, 32 words.
//   Words 0 LED, 4 u, 8 Ku, 12 Ky, 16 y, 28 identity, 29 clock, 30 sample
//   count, 31 status (byte offsets 0x00, 0x10, 0x20, 0x30, 0x40, 0x70 to
//   0x7C; the map's home is lib/hwregs/hwregs.h). LED, u, Ku and Ky read
//   back what was last stored. Read-only, ignoring stores: y; identity
//   0x4C506601 ("LPf", version 1); clock, CLOCK_HZ; sample count, +1 at
//   every sampling edge, wrapping at 2^32; status, bit 0 the pair held
//   (below), the other bits 0. Every other word reads 0 and ignores stores.
//   Reads have no side effects.
// - Timing: a store takes effect on the clock edge that samples `write`. A
//   read has a fixed latency of one clock and no wait request: `readdata`
//   gives the word on the clock edge after `read`, and holds until the next
//   read. An integration that takes `readdata` in the clock of `read` gets
//   the word of the previous read. A read and a store in one clock (of the
//   one word addressed) are both served: the read returns the value from
//   before the store.
// - Reset: `reset` is synchronous and active high; one clock of it clears
//   LED, u, Ku, Ky, y, the pair in use, the hold, the sample count and
//   `readdata` to 0, and restarts the sampling. Bus cycles during reset are
//   ignored.
// - Clock: one clock, `clk`, for the bus and the filter alike: a bridge
//   on another clock needs the interconnect's clock crossing in front of
//   the slave. CLOCK_HZ a multiple of 10 MHz, at least 50 MHz (anything
//   else fails elaboration on a module whose name says which), and no
//   faster than the target's timing allows (rtl/lpf_system.sdc states the
//   clock for a timing tool). Below 50 MHz a sample has too few clocks to
//   give the multiplier's pieces a register of their own, and a piece with
//   the pieces' sum in one clock does not meet 40 MHz on a part without
//   multiplier blocks (bench/README.md).
// - Reset's source: synchronous to `clk`, or synchronized to it in front
//   of the slave; the SDC times it as a data input. Nothing has a power-up
//   value: a reset after configuration is required before the first bus
//   cycle.
// - `led` is the LED register, for the lamps.
//
// Coefficient pairs. The filter runs on a pair of Ku and Ky; a store is to
// Ku or Ky with at least one lane enabled.
// - A store to Ky that writes its top lane (byteenable[3]) commits the
//   pair: that Ky, as stored, with the Ku last stored, from the first
//   sample after the store. So the console's order, Ku then Ky as whole
//   words, makes a pair at the Ky store, however far apart the two come.
// - Every other store (Ku, or Ky's lower lanes only) is held: it reads back
//   at once but does not reach the filter, and the status bit reads 1
//   while a held store waits.
// - Every store restarts the hold, PAIR_HOLD_SAMPLES samples (100 ms,
//   counted at the sampling edges, so at any clock). If the hold runs out
//   with a store held, the pair becomes the last Ku and Ky stored and the
//   status bit 0: the 1,000,000th sample after the last store (its sampling
//   edge at most 100 ms after it) and every later one run on them.
// So whatever the order and lanes (a Ku alone, Ky then Ku, Ky by
// descending bytes), the filter runs on the last Ku and Ky stored from
// 100 ms after the last store at the latest, and a pair that mixes old and
// new parts runs for at most that long.
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
// clock that ends there counts from the next sample). One shared multiplier
// forms one 32 x 33 product a clock, from four 17 x 17 pieces that each fit
// a multiplier block, between registers on its operands, on the pieces and
// on its product, and the pieces' sum takes the clock after the pieces', so
// that no path between registers holds more than a multiplier piece, or one
// sum (of the pieces, or of the accumulator with its saturation):
//
//   edge after   operands       pieces of        product         accumulator / state
//   sampling     Ku, u
//   +1           Ky, s[31:0]    Ku * u
//   +2           Ky, s[63:32]   Ky * s[31:0]     Ku * u
//   +3                          Ky * s[63:32]    Ky * s[31:0]    acc = 2 * Ku * u
//   +4                                           Ky * s[63:32]   acc += floor(Ky * s[31:0] / 2^32)
//   +5                                                           s = sat64(acc + Ky * s[63:32] + r)
//
// where r is 1 if Ky * s[31:0] had a low half other than 0 (which makes the
// floor a ceiling), kept in a flag of its own at +4. So y holds a sample's
// result from the STEP_CLOCKS-th (5th) clock edge after its sampling edge
// on, and a read in the clock after that edge returns it. The next step
// loads s[31:0] one edge after its sampling edge, so the loop closes with
// STEP_CLOCKS clocks a sample: hence 50 MHz at the least. The other clocks
// of a sample are idle.
//
// From 9 clocks a sample on (90 MHz), the idle clocks split the sums, so
// that no path between registers is longer than a multiplier piece or one
// carry chain of about 34 bits: the pieces' sum takes three clocks (the
// middle pieces' sum; the product's low 32 bits and their carry; its high
// 34 bits), each 66-bit sum two (its low 33 bits and their carry; its high
// 33 bits, while the next sum's low half forms), and the saturation one:
//
//   edge   operands       product         accumulator / state
//   +1     Ky, s[31:0]
//   +2     Ky, s[63:32]
//   +4                    Ku * u
//   +5                    Ky * s[31:0]    acc = 2 * Ku * u
//   +6                    Ky * s[63:32]   acc low += floor(Ky * s[31:0] / 2^32)
//   +7                                    acc high += carry; acc low += low of Ky * s[63:32] + r
//   +8                                    acc high += high of Ky * s[63:32] + carry
//   +9                                    s = sat64(acc)
//
// STEP_CLOCKS is 9 there, and the loop closes as above.
`default_nettype none

module lpf_system #(
    parameter integer CLOCK_HZ = 50000000 // a multiple of 10 MHz, at least 50 MHz
) (
    input  wire        clk,
    input  wire        reset,      // synchronous, active high
    input  wire [4:0]  address,    // word index
    input  wire        write,
    input  wire [31:0] writedata,
    input  wire [3:0]  byteenable, // one per byte lane of writedata, for stores
    input  wire        read,
    output reg  [31:0] readdata,   // the word read, from the clock edge after `read`
    output wire [31:0] led
);
    localparam integer SAMPLE_HZ = 10000000;
    localparam integer DIVIDER = CLOCK_HZ / SAMPLE_HZ;
    // Operands, pieces, product, accumulator, s: one clock each. Where a
    // sample has room, the pieces' sum and each sum of the accumulator take
    // two clocks (a low and a high half), and the saturation one of its own.
    localparam integer SPLIT_STEP_CLOCKS = 9;
    localparam SPLIT = DIVIDER >= SPLIT_STEP_CLOCKS;
    localparam integer STEP_CLOCKS = SPLIT ? SPLIT_STEP_CLOCKS : 5;
    localparam integer PHASE_BITS = DIVIDER > 4 ? $clog2(DIVIDER) : 3;
    localparam [PHASE_BITS-1:0] LAST_PHASE = DIVIDER[PHASE_BITS-1:0] - 1'b1;
    // The clock after the sampling edge is phase 0; each stage ends on the
    // edge that closes its phase.
    localparam integer SCALE_AT = SPLIT ? 4 : 2;
    localparam [PHASE_BITS-1:0] LOAD_KY = 0, LOAD_HIGH = 1;
    // The accumulator's stages, in phases SCALE_AT and the two after it,
    // have flags of their own, set a clock ahead, to keep the decoding of
    // the phase off the adder's path.
    localparam integer BEFORE_SCALE_AT = SCALE_AT - 1;
    localparam [PHASE_BITS-1:0] BEFORE_SCALE = BEFORE_SCALE_AT[PHASE_BITS-1:0];

    localparam [4:0] LED_WORD = 5'd0;
    localparam [4:0] U_WORD = 5'd4;
    localparam [4:0] KU_WORD = 5'd8;
    localparam [4:0] KY_WORD = 5'd12;
    localparam [4:0] Y_WORD = 5'd16;
    localparam [4:0] IDENTITY_WORD = 5'd28;
    localparam [4:0] CLOCK_HZ_WORD = 5'd29;
    localparam [4:0] SAMPLE_COUNT_WORD = 5'd30;
    localparam [4:0] STATUS_WORD = 5'd31;
    localparam [31:0] IDENTITY = 32'h4C506601; // "LPf", version 1
    localparam [31:0] CLOCK_HZ_VALUE = CLOCK_HZ;
    // The pair's hold time, in samples: 100 ms.
    localparam integer PAIR_HOLD_SAMPLES = 1000000;
    localparam integer HOLD_BITS = $clog2(PAIR_HOLD_SAMPLES);
    localparam [HOLD_BITS-1:0] HOLD_START = PAIR_HOLD_SAMPLES[HOLD_BITS-1:0] - 1'b1;

    // A clock the design cannot sample with fails the build.
    generate
        if (DIVIDER < 1 || CLOCK_HZ % SAMPLE_HZ != 0) begin : bad_clock
            lpf_system_CLOCK_HZ_must_be_a_multiple_of_10_MHz bad_clock_hz ();
        end else if (DIVIDER < STEP_CLOCKS) begin : slow_clock
            lpf_system_CLOCK_HZ_must_be_at_least_50_MHz slow_clock_hz ();
        end
    endgenerate

    reg [31:0] led_q;
    reg signed [31:0] u_q;
    reg [31:0] ku_q;    // last stored, what a load of Ku returns
    reg [31:0] ky_q;    // last stored, what a load of Ky returns
    // The pair the filter runs on (readable to the co-simulation), from the
    // last Ky store that wrote the top lane, or from the end of a hold.
    reg [31:0] ku_pair /* verilator public_flat_rd */;
    reg [31:0] ky_pair /* verilator public_flat_rd */;
    // Samples the hold still runs: a store to Ku or Ky restarts it, and the
    // sampling edge that takes it to 0 makes the last Ku and Ky stored the
    // pair, so that the next sample runs on them.
    reg [HOLD_BITS-1:0] hold_left;
    reg held;           // a store to Ku or Ky waits for the pair
    reg [31:0] sample_count;
    reg signed [63:0] s_q;
    reg [PHASE_BITS-1:0] phase;
    reg scaling, adding_low, adding_high; // phase is SCALE_AT, SCALE_AT + 1, SCALE_AT + 2
    reg finishing, saturating; // split: phase is SCALE_AT + 3, SCALE_AT + 4
    reg stepping;       // a whole step is in the pipeline: s may take its result

    wire sample = phase == LAST_PHASE;
    wire [31:0] y = s_q[63:32];
    wire [31:0] lanes = {{8{byteenable[3]}}, {8{byteenable[2]}}, {8{byteenable[1]}}, {8{byteenable[0]}}};
    wire [31:0] stored_led = (led_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_u = (u_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_ku = (ku_q & ~lanes) | (writedata & lanes);
    wire [31:0] stored_ky = (ky_q & ~lanes) | (writedata & lanes);
    wire commits_pair = byteenable[3]; // of a store to Ky: it completes the word
    // A store that enables no lane is no store.
    wire pair_store = write && (address == KU_WORD || address == KY_WORD) && byteenable != 4'd0;

    // The step's pipeline. No reset: each stage is written before it is
    // read, and s takes a result only once `stepping` says a whole step,
    // begun at a sampling edge after reset, has gone through.
    reg [31:0] mul_a;          // Ku or Ky
    reg signed [32:0] mul_b;   // u, s[31:0] or s[63:32], widened by a sign or a zero bit
    reg signed [65:0] product; // mul_a * mul_b, exact
    reg [31:0] ky_step;        // the sample's Ky, for the products after a new pair may have changed ky_pair
    reg signed [65:0] acc;
    reg low_nonzero;           // Ky * s[31:0] had a low half other than 0: its quotient rounds up

    // The product from four pieces of 17 x 17 bits, signed, as a multiplier
    // block takes them: mul_a = a1 * 2^16 + a0, mul_b = b1 * 2^16 + b0, with
    // a1, a0, b0 unsigned 16-bit values and b1 the signed top 17 bits.
    // Every piece is below 2^32 in size, the middle sum below 2^33.
    wire signed [16:0] a0 = {1'b0, mul_a[15:0]};
    wire signed [16:0] a1 = {1'b0, mul_a[31:16]};
    wire signed [16:0] b0 = {1'b0, mul_b[15:0]};
    wire signed [16:0] b1 = mul_b[32:16];
    /* verilator lint_off UNUSEDSIGNAL */
    wire signed [33:0] piece00_whole; // a0 * b0 < 2^32: its top two bits are 0
    /* verilator lint_on UNUSEDSIGNAL */
    wire signed [33:0] piece01, piece10, piece11;
    lpf_multiply_piece multiply00 (.a(a0), .b(b0), .p(piece00_whole));
    lpf_multiply_piece multiply01 (.a(a0), .b(b1), .p(piece01));
    lpf_multiply_piece multiply10 (.a(a1), .b(b0), .p(piece10));
    lpf_multiply_piece multiply11 (.a(a1), .b(b1), .p(piece11));
    wire [31:0] piece00 = piece00_whole[31:0];
    reg [31:0] p00;
    reg signed [33:0] p01, p10, p11;
    always @(posedge clk)
        {p00, p01, p10, p11} <= {piece00, piece01, piece10, piece11};
    // p00 < 2^32 and p11 * 2^32 do not overlap: one adder for the middle
    // pieces, one for the whole.
    wire signed [33:0] middle = p01 + p10;
    wire signed [65:0] whole_sum = $signed({p11, p00}) + $signed({{16{middle[33]}}, middle, 16'd0});
    // Split: the middle sum in a clock of its own, then the low 32 bits
    // with their carry, then the high 34 bits.
    reg signed [33:0] middle_q, p11_m, p11_l;
    reg [31:0] p00_m, product_low;
    reg signed [17:0] middle_high;
    reg low_carry;
    always @(posedge clk) begin
        {middle_q, p00_m, p11_m} <= {middle, p00, p11};
        {low_carry, product_low} <= {1'b0, p00_m} + {1'b0, middle_q[15:0], 16'd0};
        {p11_l, middle_high} <= {p11_m, middle_q[33:16]};
    end
    wire signed [33:0] product_high = p11_l + $signed({{16{middle_high[17]}}, middle_high}) + $signed({33'd0, low_carry});
    wire signed [65:0] pieces_sum = SPLIT ? {product_high, product_low} : whole_sum;

    // Exact throughout: 66 bits hold every product. ceil(Ky * s / 2^32) is
    // Ky * s[63:32] + ceil(Ky * s[31:0] / 2^32), and the ceiling of the low
    // product's division is its high half plus one when its low half is not
    // 0: the high half goes into acc, the one comes in with the last sum.
    // |acc| < 2^64 + 2^32 and |Ky * s[63:32]| < 2^63, so the sum needs 66
    // bits; one adder serves both additions.
    wire signed [65:0] addend = adding_low ? {34'd0, product[63:32]} : product;
    wire round_up = adding_high && low_nonzero;
    wire signed [65:0] sum = acc + addend + {65'd0, round_up};
    // Split: the low 33 bits of a sum and their carry in one clock, the
    // high 33 bits (the addend's kept) in the next, while the low half of
    // the next sum forms; the saturation then reads acc alone.
    reg carry;
    reg [32:0] addend_high;
    wire [33:0] low_sum = {1'b0, acc[32:0]} + {1'b0, addend[32:0]} + {33'd0, round_up};
    wire [32:0] high_sum = acc[65:33] + addend_high + {32'd0, carry};
    wire signed [65:0] total = SPLIT ? acc : sum;
    wire fits = total[65:63] == 3'b000 || total[65:63] == 3'b111;
    wire [63:0] s_next = fits ? total[63:0] : total[65] ? 64'h8000000000000000 : 64'h7FFFFFFFFFFFFFFF;

    always @(posedge clk) begin
        product <= pieces_sum;
        if (sample) begin
            mul_a <= ku_pair;
            mul_b <= {u_q[31], u_q};
            ky_step <= ky_pair;
        end else if (phase == LOAD_KY) begin
            mul_a <= ky_step;
            mul_b <= {1'b0, s_q[31:0]};
        end else if (phase == LOAD_HIGH) begin
            mul_b <= {s_q[63], s_q[63:32]};
        end
        if (scaling)
            acc <= {product[64:0], 1'b0};
        else if (!SPLIT && adding_low)
            acc <= sum;
        if (SPLIT && (adding_low || adding_high)) begin
            {carry, acc[32:0]} <= low_sum;
            addend_high <= addend[65:33];
        end
        if (SPLIT && (adding_high || finishing))
            acc[65:33] <= high_sum;
        if (adding_low)
            low_nonzero <= product[31:0] != 32'd0;
    end

    always @(posedge clk) begin
        if (reset) begin
            led_q <= 32'd0;
            u_q <= 32'sd0;
            ku_q <= 32'd0;
            ky_q <= 32'd0;
            ku_pair <= 32'd0;
            ky_pair <= 32'd0;
            s_q <= 64'sd0;
            phase <= {PHASE_BITS{1'b0}};
            {scaling, adding_low, adding_high, finishing, saturating} <= 5'b00000;
            stepping <= 1'b0;
            hold_left <= {HOLD_BITS{1'b0}};
            held <= 1'b0;
            sample_count <= 32'd0;
            readdata <= 32'd0;
        end else begin
            phase <= sample ? {PHASE_BITS{1'b0}} : phase + 1'b1;
            // The stages do not wrap: the last of them is at most LAST_PHASE.
            scaling <= phase == BEFORE_SCALE;
            adding_low <= scaling;
            adding_high <= adding_low;
            finishing <= SPLIT && adding_high;
            saturating <= finishing;
            if (sample)
                stepping <= 1'b1;
            if (stepping && (SPLIT ? saturating : adding_high))
                s_q <= s_next;
            if (sample)
                sample_count <= sample_count + 32'd1;
            if (pair_store) begin
                hold_left <= HOLD_START;
                held <= !(address == KY_WORD && commits_pair);
            end else if (sample && hold_left != {HOLD_BITS{1'b0}}) begin
                hold_left <= hold_left - 1'b1;
                if (hold_left == {{HOLD_BITS-1{1'b0}}, 1'b1}) begin
                    ku_pair <= ku_q;
                    ky_pair <= ky_q;
                    held <= 1'b0;
                end
            end
            if (write) begin
                case (address)
                    LED_WORD: led_q <= stored_led;
                    U_WORD: u_q <= stored_u;
                    KU_WORD: ku_q <= stored_ku;
                    KY_WORD: begin
                        ky_q <= stored_ky;
                        if (commits_pair) begin
                            ky_pair <= stored_ky;
                            ku_pair <= ku_q;
                        end
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
                    IDENTITY_WORD: readdata <= IDENTITY;
                    CLOCK_HZ_WORD: readdata <= CLOCK_HZ_VALUE;
                    SAMPLE_COUNT_WORD: readdata <= sample_count;
                    STATUS_WORD: readdata <= {31'd0, held};
                    default: readdata <= 32'd0;
                endcase
            end
        end
    end

    assign led = led_q;

`ifdef FORMAL
    // The hold's length, which the proofs check against hwregs.h.
    wire [31:0] formal_hold_samples = PAIR_HOLD_SAMPLES;
    localparam integer ADD_LOW_AT = SCALE_AT + 1, ADD_HIGH_AT = SCALE_AT + 2;
    localparam integer FINISH_AT = SCALE_AT + 3, SATURATE_AT = SCALE_AT + 4;
    localparam integer PRODUCT_AT = SPLIT ? 4 : 2; // the first product's first clock
    localparam [PHASE_BITS-1:0] SCALE_DRIVE = SCALE_AT[PHASE_BITS-1:0];
    localparam [PHASE_BITS-1:0] ADD_LOW = ADD_LOW_AT[PHASE_BITS-1:0], ADD_HIGH = ADD_HIGH_AT[PHASE_BITS-1:0];
    localparam [PHASE_BITS-1:0] FINISH = FINISH_AT[PHASE_BITS-1:0], SATURATE = SATURATE_AT[PHASE_BITS-1:0];
    // What the proofs by induction need to know of the pipeline
    // (tests/rtl/prove), since none of its registers is reset: which of them
    // hold a value of the step in progress. Operands from the first sampling
    // edge after reset on; pieces and products from the clocks that take
    // them from live operands; the accumulator from its first load on.
    // Split, each stage of the pieces' sum a clock after the one before.
    wire live_operands = stepping;
    wire live_pieces = stepping && phase != 0;
    wire live_middle = SPLIT && stepping && phase > 1;
    wire live_low = SPLIT && stepping && phase > 2;
    wire live_product = stepping && phase >= PRODUCT_AT;
    wire live_acc = stepping && phase > SCALE_DRIVE;
    wire live_round = stepping && phase > ADD_LOW;
    wire live_carry = SPLIT && live_round;
    // The phase stays in its range, and the stages' flags follow it.
    wire formal_consistent = phase <= LAST_PHASE && scaling == (phase == SCALE_DRIVE) &&
        adding_low == (phase == ADD_LOW) && adding_high == (phase == ADD_HIGH) &&
        finishing == (SPLIT && phase == FINISH) && saturating == (SPLIT && phase == SATURATE);
    // The state the filter's future depends on: its registers, the hold and
    // the sample count, and the live part of the pipeline (a dead register
    // shows as 0). Two copies in the same state take the same steps.
    localparam integer FORMAL_STATE_BITS = PHASE_BITS + 6 + 5 * 32 + 64 + HOLD_BITS + 1 + 32 + 97 + 134 +
        100 + 85 + 2 * 66 + 1 + 34;
    wire [FORMAL_STATE_BITS-1:0] formal_state = {
        phase, scaling, adding_low, adding_high, finishing, saturating, stepping,
        u_q, ku_q, ky_q, ku_pair, ky_pair, s_q,
        hold_left, held, sample_count,
        live_operands ? {mul_b, mul_a, ky_step} : 97'd0,
        live_pieces ? {p00, p01, p10, p11} : 134'd0,
        live_middle ? {middle_q, p00_m, p11_m} : 100'd0,
        live_low ? {low_carry, product_low, p11_l, middle_high} : 85'd0,
        live_carry ? {carry, addend_high} : 34'd0,
        live_product ? product : 66'sd0,
        live_acc ? acc : 66'sd0,
        live_round && low_nonzero};
    // A filter that has run on the pair (0, 0) since reset: everything live
    // that a step reads is 0, so y stays 0 whatever u is.
    wire formal_zero = ku_pair == 32'd0 && ky_pair == 32'd0 && s_q == 64'sd0 &&
        (!live_operands || (mul_a == 32'd0 && ky_step == 32'd0)) &&
        (!live_pieces || {p00, p01, p10, p11} == 134'd0) &&
        (!live_middle || {middle_q, p00_m, p11_m} == 100'd0) &&
        (!live_low || {low_carry, product_low, p11_l, middle_high} == 85'd0) &&
        (!live_carry || {carry, addend_high} == 34'd0) &&
        (!live_product || product == 66'sd0) &&
        (!live_acc || acc == 66'sd0) &&
        (!live_round || !low_nonzero);
`endif
endmodule

`default_nettype wire
