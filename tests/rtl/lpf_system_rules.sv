// The rules of lpf_system that one copy of it shows, for a proof without a
// bound (tests/rtl/prove). Every input is free from the clock after a reset
// on: the solver looks for any sequence of reads, stores, lanes and resets
// that breaks a rule. The rules keep their own copy of what the bus has
// stored, the pairs it has taken, the samples since the last store to
// Ku or Ky and the sample clock, and say from those what the design must
// show. The word indices, the identity and the hold come from
// lib/hwregs/hwregs.h.
//
// Wires marked (* probe *) look inside the design: the script connects
// probe_dut_X to X in the design (instance dut), and sets X_BITS to the
// width of X where the harness needs it.
`default_nettype none

module lpf_system_rules #(
`include "lpf_harness_map.vh"
    parameter integer CLOCK_HZ = 50000000,
    // A fault planted between the bus and the design, which the proof must
    // find: 1 the 100th LED store is lost; 2 the 100th store to Ky's lower
    // lanes also writes the top one, with the byte Ky already has, and so
    // commits a pair with a Ky half stored; 4 an assertion that fails
    // wherever the rules are checked, which the base case must catch.
    parameter integer FAULT = 0,
    // 1: a harness that never stores, under which every rule holds and no
    // cover can be reached.
    parameter integer VACUOUS = 0,
    // The widths of the design's phase and hold, as the script reads them
    // from the design.
    parameter integer PHASE_BITS = 1,
    parameter integer HOLD_LEFT_BITS = 1
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

    // The sample clock: the last edge of every DIVIDER clocks from reset on
    // samples u and the pair.
    reg [7:0] phase_s;
    wire sampling = phase_s == DIVIDER - 1; // this clock ends at a sampling edge

    // The registers as the rules keep them.
    reg [31:0] led_s, u_s, ku_s, ky_s;
    reg [31:0] pair_ku, pair_ky; // the pair in use
    reg paired;                  // a pair taken since the last reset
    reg held_s;                  // a store to Ku or Ky waits for the pair
    reg [31:0] count_s;          // sampling edges since the last reset
    // Sampling edges since the last store to Ku or Ky, up to SINCE_NONE,
    // which a reset sets: the hold is over.
    localparam [20:0] SINCE_NONE = 21'h1FFFFF;
    localparam [20:0] HOLD_LAST = PAIR_HOLD_SAMPLES - 1; // the sampling edge that ends the hold
    reg [20:0] since;
    wire [31:0] lanes = {{8{byteenable[3]}}, {8{byteenable[2]}}, {8{byteenable[1]}}, {8{byteenable[0]}}};
    wire [31:0] stored_ky = (ky_s & ~lanes) | (writedata & lanes);
    wire commits = write && address == KY_WORD && byteenable[3];
    wire pair_store = write && (address == KU_WORD || address == KY_WORD) && byteenable != 4'd0;
    wire runs_out = !pair_store && sampling && since == HOLD_LAST - 1;
    reg [31:0] word_s;
    always @(*) begin
        case (address)
            LED_WORD: word_s = led_s;
            U_WORD: word_s = u_s;
            KU_WORD: word_s = ku_s;
            KY_WORD: word_s = ky_s;
            IDENTITY_WORD: word_s = IDENTITY;
            CLOCK_HZ_WORD: word_s = CLOCK_HZ;
            SAMPLE_COUNT_WORD: word_s = count_s;
            STATUS_WORD: word_s = held_s ? STATUS_PAIR_HELD : 32'd0;
            default: word_s = 32'd0;
        endcase
    end
    always @(posedge clk) begin
        if (reset) begin
            {led_s, u_s, ku_s, ky_s, pair_ku, pair_ky} <= 192'd0;
            {paired, held_s} <= 2'b00;
            count_s <= 32'd0;
            since <= SINCE_NONE;
        end else begin
            if (sampling)
                count_s <= count_s + 32'd1;
            if (pair_store) begin
                since <= 21'd0;
                held_s <= !commits;
            end else if (sampling && since != SINCE_NONE) begin
                since <= since + 21'd1;
            end
            if (runs_out) begin
                {pair_ku, pair_ky} <= {ku_s, ky_s};
                paired <= 1'b1;
                held_s <= 1'b0;
            end
            if (write) begin
                if (address == LED_WORD) led_s <= (led_s & ~lanes) | (writedata & lanes);
                if (address == U_WORD) u_s <= (u_s & ~lanes) | (writedata & lanes);
                if (address == KU_WORD) ku_s <= (ku_s & ~lanes) | (writedata & lanes);
                if (address == KY_WORD) ky_s <= stored_ky;
                if (commits) begin
                    pair_ku <= ku_s;
                    pair_ky <= stored_ky;
                    paired <= 1'b1;
                end
            end
        end
    end

    // What the sampling edges take.
    reg sampled;                 // a sampling edge since the last reset
    reg [31:0] sample_u, sample_ku, sample_ky;
    always @(posedge clk) begin
        if (reset) begin
            phase_s <= 8'd0;
            sampled <= 1'b0;
        end else if (sampling) begin
            phase_s <= 8'd0;
            sampled <= 1'b1;
            {sample_u, sample_ku, sample_ky} <= {u_s, pair_ku, pair_ky};
        end else begin
            phase_s <= phase_s + 8'd1;
        end
    end

    // The planted fault, if any, on the bus as the design sees it.
    reg [6:0] faulty_count = 7'd0;
    wire counted = FAULT == 1 ? write && address == LED_WORD :
                   FAULT == 2 ? write && address == KY_WORD && !byteenable[3] && byteenable != 4'd0 : 1'b0;
    wire strikes = counted && faulty_count == 7'd99;
    always @(posedge clk)
        if (counted && faulty_count != 7'd127) faulty_count <= faulty_count + 7'd1;
    wire dut_write = write && !(FAULT == 1 && strikes);
    wire [3:0] dut_byteenable = FAULT == 2 && strikes ? byteenable | 4'b1000 : byteenable;
    wire [31:0] dut_writedata = FAULT == 2 && strikes ? {ky_s[31:24], writedata[23:0]} : writedata;

    wire [31:0] readdata, led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) dut (
        .clk(clk), .reset(reset), .address(address), .write(dut_write), .writedata(dut_writedata),
        .byteenable(dut_byteenable), .read(read), .readdata(readdata), .led(led));
    (* probe *) wire [31:0] probe_dut_mul_a;
    (* probe *) wire [32:0] probe_dut_mul_b;
    (* probe *) wire probe_dut_formal_zero, probe_dut_formal_consistent;
    (* probe *) wire [31:0] probe_dut_u_q, probe_dut_ku_q, probe_dut_ky_q, probe_dut_ku_pair, probe_dut_ky_pair;
    (* probe *) wire [31:0] probe_dut_ky_step;
    (* probe *) wire probe_dut_stepping;
    (* probe *) wire [PHASE_BITS-1:0] probe_dut_phase;
    (* probe *) wire [HOLD_LEFT_BITS-1:0] probe_dut_hold_left;
    (* probe *) wire probe_dut_held;
    (* probe *) wire [31:0] probe_dut_sample_count, probe_dut_formal_hold_samples;

    // The clock before, as the checks after the edge need it.
    reg checking = 1'b0;
    reg was_reset, was_read, was_y, was_status, was_known, was_paired;
    reg [31:0] was_word, was_readdata;
    always @(posedge clk) begin
        checking <= 1'b1;
        was_reset <= reset;
        was_read <= read;
        was_y <= address == Y_WORD;
        was_status <= address == STATUS_WORD;
        was_known <= address != Y_WORD; // the rules know every word but y
        was_word <= word_s;
        was_readdata <= readdata;
        was_paired <= paired;
    end

    initial assume (reset);
    always @(*) if (!checking) assume ($initstate); // so induction may start at any later state
    always @(*) if (VACUOUS != 0) assume (!write);

    always @(*) begin
        if (checking) begin
            if (FAULT == 4)
                assert (1'b0);
            // Reset values: everything reads 0 and the lamps are dark.
            if (was_reset)
                assert (readdata == 32'd0 && led == 32'd0);
            // Read-back of LED, u, Ku and Ky with their lanes; the identity,
            // the clock, the samples since reset and the held bit; 0 from
            // every other word but y; one clock after the read.
            if (!was_reset && was_read && was_known)
                assert (readdata == was_word);
            // Without a read, the read data holds.
            if (!was_reset && !was_read)
                assert (readdata == was_readdata);
            // The lamps show the LED register.
            assert (led == led_s);
            // No pair taken since reset: y reads 0, whatever u and Ku
            // are stored and whatever the pipeline held at power-up. The
            // design's own invariant says why.
            if (!was_reset && was_read && was_y && !was_paired)
                assert (readdata == 32'd0);
            if (!paired)
                assert (probe_dut_formal_zero);
            // The filter runs on whole pairs: the multiplier takes the
            // sample's Ku with its u in the clock after the sampling edge,
            // and the sample's Ky in the next two.
            if (sampled && phase_s == 8'd0)
                assert (probe_dut_mul_a == sample_ku && probe_dut_mul_b == {sample_u[31], sample_u});
            if (sampled && (phase_s == 8'd1 || phase_s == 8'd2))
                assert (probe_dut_mul_a == sample_ky);
            // What makes the rules inductive: the design's registers, pair
            // and sample clock are the rules' own.
            assert (probe_dut_u_q == u_s && probe_dut_ku_q == ku_s && probe_dut_ky_q == ky_s);
            assert (probe_dut_ku_pair == pair_ku && probe_dut_ky_pair == pair_ky);
            assert (phase_s < DIVIDER && probe_dut_phase == phase_s[PHASE_BITS-1:0]);
            assert (probe_dut_formal_consistent);
            assert (probe_dut_stepping == sampled);
            if (sampled)
                assert (probe_dut_ky_step == sample_ky);
            // The pair differs from the last Ku and Ky stored only while the
            // held bit is set, and the PAIR_HOLD_SAMPLES-th sample after the
            // last store runs on them at the latest.
            if (probe_dut_ku_pair != probe_dut_ku_q || probe_dut_ky_pair != probe_dut_ky_q)
                assert (probe_dut_held);
            if (since >= HOLD_LAST)
                assert (!probe_dut_held && probe_dut_ku_pair == probe_dut_ku_q && probe_dut_ky_pair == probe_dut_ky_q);
            // The design's hold is as long as hwregs.h says, and counts the
            // samples since the last store as the rules do.
            assert (probe_dut_formal_hold_samples == PAIR_HOLD_SAMPLES);
            assert (probe_dut_held == held_s && probe_dut_sample_count == count_s);
            assert (probe_dut_hold_left == (since < HOLD_LAST ? HOLD_LAST - since : 21'd0));
        end
    end

    // What the proof must be able to reach, or it proves nothing.
    always @(*) begin
        if (checking && !reset) begin
            cover (write && address == LED_WORD && byteenable == 4'hF);
            cover (write && address == U_WORD && byteenable == 4'hF);
            cover (commits && ku_s != pair_ku);                       // a new pair
            cover (write && address == KY_WORD && byteenable == 4'h3 && paired); // half a Ky, held
            cover (was_read && was_status && readdata == 32'd1);     // and seen held
            cover (was_read && was_y && readdata == 32'h7FFFFFFF);   // saturated high
            cover (was_read && was_y && readdata == 32'h80000000);   // and low
        end
    end
endmodule

`default_nettype wire
