// A self-checking testbench of lpf_system for a 4-state simulator (Icarus
// Verilog): the registers that reset does not clear start unknown (X), and
// no X may reach `readdata` or `led` from the first reset on. Checks the
// bus contract and the arithmetic against the model's step (filterStep, in
// VECTORS, with the word indices in lpf_words.vh, both written by
// lpfBenchVectors from the tools' own sources). Prints PASS, or each
// failure and FAIL.
// Build: iverilog -g2005 -I DIR -P lpf_system_tb.CLOCK_HZ=HZ ..., run in DIR
// (tests/CMakeLists.txt does both).
`timescale 1ns / 1ps
`default_nettype none

module lpf_system_tb;
    parameter integer CLOCK_HZ = 50000000;
    parameter VECTORS = "lpf_vectors.hex";
    `include "lpf_words.vh"
    `include "lpf_samples.vh"
    localparam integer DIVIDER = CLOCK_HZ / 10000000;
    // Clocks from a sampling edge to its y (the core's header): 9 from 9
    // clocks a sample on, 5 below.
    localparam integer STEP_CLOCKS = DIVIDER >= 9 ? 9 : 5;
    localparam real HALF_NS = 500000000.0 / CLOCK_HZ;

    reg clk = 1'b0, reset = 1'b0, write = 1'b0, read = 1'b0;
    reg [4:0] address = 5'd0;
    reg [31:0] writedata = 32'd0;
    reg [3:0] byteenable = 4'hF;
    wire [31:0] readdata, led;
    lpf_system #(.CLOCK_HZ(CLOCK_HZ)) dut (
        .clk(clk), .reset(reset), .address(address), .write(write), .writedata(writedata),
        .byteenable(byteenable), .read(read), .readdata(readdata), .led(led));
    always #(HALF_NS) clk = !clk;

    integer failures = 0;
    reg reset_seen = 1'b0;
    // Nothing unknown on the outputs from the clock after the first reset on.
    always @(posedge clk) begin
        if (reset) reset_seen <= 1'b1;
        #(HALF_NS / 2);
        if (reset_seen && !reset && (^readdata === 1'bx || ^led === 1'bx)) begin
            $display("X after reset at %0t: readdata %h led %h", $time, readdata, led);
            failures = failures + 1;
        end
    end

    task check(input [31:0] got, input [31:0] want, input [8*40-1:0] what);
        if (got !== want) begin
            $display("%0s: %h, expected %h (at %0t)", what, got, want, $time);
            failures = failures + 1;
        end
    endtask

    // One clock of the bus: the inputs set after the falling edge, taken on
    // the rising one.
    task cycle(input w, input r, input [4:0] a, input [31:0] d, input [3:0] lanes);
        begin
            @(negedge clk);
            {write, read, address, writedata, byteenable} <= {w, r, a, d, lanes};
            @(posedge clk);
            #(HALF_NS / 4) {write, read} = 2'b00;
        end
    endtask
    task store(input [4:0] a, input [31:0] d, input [3:0] lanes);
        cycle(1'b1, 1'b0, a, d, lanes);
    endtask
    task idle;
        cycle(1'b0, 1'b0, 5'd0, 32'd0, 4'h0);
    endtask
    // A read: readdata holds the word from the edge after `read` on.
    task load(input [4:0] a, output [31:0] word);
        begin
            cycle(1'b0, 1'b1, a, 32'd0, 4'h0);
            word = readdata;
        end
    endtask
    task reset_clock;
        begin
            @(negedge clk) reset = 1'b1;
            @(negedge clk) reset = 1'b0;
        end
    endtask

    reg [31:0] word, before;
    reg [127:0] vectors [0:SAMPLES-1];
    integer i, n, phase;
    integer count_a, count_b;

    // The bus contract.
    task bus_contract;
        begin
            load(LED_WORD, word); check(word, 32'd0, "LED after reset");
            check(led, 32'd0, "lamps after reset");
            load(Y_WORD, word); check(word, 32'd0, "y after reset");
            // Byte lanes: each store writes only its enabled lanes.
            store(LED_WORD, 32'h11223344, 4'hF);
            store(LED_WORD, 32'hAABBCCDD, 4'b0101);
            load(LED_WORD, word); check(word, 32'h11BB33DD, "LED by lanes 0 and 2");
            check(led, 32'h11BB33DD, "lamps");
            store(U_WORD, 32'hFFFFFFFF, 4'hF);
            store(U_WORD, 32'h00000000, 4'b1000);
            load(U_WORD, word); check(word, 32'h00FFFFFF, "u by lane 3");
            store(KU_WORD, 32'h12345678, 4'b0011);
            load(KU_WORD, word); check(word, 32'h00005678, "Ku by lanes 0 and 1");
            store(KY_WORD, 32'h9ABCDEF0, 4'b1100);
            load(KY_WORD, word); check(word, 32'h9ABC0000, "Ky by lanes 2 and 3");
            // Latency one: the word the clock after `read`, held without one,
            // and a read with a store of the same word gives the old value.
            cycle(1'b1, 1'b1, LED_WORD, 32'h55AA55AA, 4'hF);
            check(readdata, 32'h11BB33DD, "read with a store");
            store(LED_WORD, 32'h0F0F0F0F, 4'hF);
            check(readdata, 32'h11BB33DD, "readdata held without a read");
            load(LED_WORD, word); check(word, 32'h0F0F0F0F, "LED");
            // y is read-only; words the core does not know read 0 and
            // ignore stores.
            store(Y_WORD, 32'hFFFFFFFF, 4'hF);
            load(Y_WORD, word); check(word, 32'd0, "y after a store to it");
            for (i = 0; i < 32; i = i + 1) begin
                if (i != LED_WORD && i != U_WORD && i != KU_WORD && i != KY_WORD && i != Y_WORD &&
                    i < IDENTITY_WORD) begin
                    store(i[4:0], 32'hFFFFFFFF, 4'hF);
                    load(i[4:0], word); check(word, 32'd0, "a word the core does not know");
                end
            end
            load(LED_WORD, word); check(word, 32'h0F0F0F0F, "LED after stores elsewhere");
            begin
                load(IDENTITY_WORD, word); check(word, IDENTITY, "identity");
                store(CLOCK_HZ_WORD, 32'hFFFFFFFF, 4'hF);
                load(CLOCK_HZ_WORD, word); check(word, CLOCK_HZ, "clock word");
                // A Ku alone is held; Ky stored whole after it makes the pair.
                store(KU_WORD, 32'h00001000, 4'hF);
                load(STATUS_WORD, word); check(word & STATUS_PAIR_HELD, STATUS_PAIR_HELD, "status, Ku held");
                store(KY_WORD, 32'h80000000, 4'hF);
                load(STATUS_WORD, word); check(word & STATUS_PAIR_HELD, 32'd0, "status, the pair made");
                // One count a sample: 20 samples from one read to the next.
                load(SAMPLE_COUNT_WORD, word); count_a = word;
                for (i = 1; i < 20 * DIVIDER; i = i + 1) idle;
                load(SAMPLE_COUNT_WORD, word); count_b = word;
                check(count_b - count_a, 32'd20, "samples counted");
            end
            // Reset clears everything it names.
            reset_clock;
            // Read first, before a sample can count.
            load(SAMPLE_COUNT_WORD, word); check(word, 32'd0, "sample count after a reset");
            load(LED_WORD, word); check(word, 32'd0, "LED after a reset");
            load(U_WORD, word); check(word, 32'd0, "u after a reset");
            load(KU_WORD, word); check(word, 32'd0, "Ku after a reset");
            load(KY_WORD, word); check(word, 32'd0, "Ky after a reset");
        end
    endtask

    // The arithmetic: from a reset, sample n's u, Ku and Ky are stored in
    // its own sample period (Ku before Ky, a whole pair). The loop's phase
    // k is the k + 2nd clock after a sampling edge (a bus cycle starts at
    // the falling edge after the one before ends), so sample n - 1's y
    // lands on the edge that ends phase STEP_CLOCKS - 2 of period n: a read
    // in that clock returns y after sample n - 2, one in the next y after
    // sample n - 1.
    task arithmetic;
        begin
            reset_clock; // the clock after this edge is phase 0 of period 0
            for (n = 0; n < SAMPLES; n = n + 1) begin
                for (phase = 0; phase < DIVIDER; phase = phase + 1) begin
                    case (phase)
                        0: store(U_WORD, vectors[n][127:96], 4'hF);
                        1: store(KU_WORD, vectors[n][95:64], 4'hF);
                        2: store(KY_WORD, vectors[n][63:32], 4'hF);
                        STEP_CLOCKS - 2: begin
                            load(Y_WORD, word);
                            if (n >= 2) check(word, vectors[n - 2][31:0], "y before its step lands");
                            else check(word, 32'd0, "y before the first result");
                        end
                        STEP_CLOCKS - 1: begin
                            load(Y_WORD, word);
                            if (n >= 1) check(word, vectors[n - 1][31:0], "y as its step lands");
                            else check(word, 32'd0, "y before the first result");
                        end
                        default: idle;
                    endcase
                end
                if (failures > 10) n = SAMPLES;
            end
        end
    endtask

    initial begin
        $readmemh(VECTORS, vectors);
        if (^vectors[SAMPLES - 1] === 1'bx) begin
            $display("cannot read %0s", VECTORS);
            $display("FAIL");
            $finish;
        end
        repeat (3) @(posedge clk);
        // Before the first reset every register is unknown: so are the outputs.
        if (^led !== 1'bx) begin
            $display("the outputs are known before a reset: the registers do not start unknown");
            failures = failures + 1;
        end
        reset_clock;
        bus_contract;
        arithmetic;
        if (failures == 0) $display("PASS");
        else $display("FAIL");
        $finish;
    end
endmodule

`default_nettype wire
