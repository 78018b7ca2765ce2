// The register map's settings, which tests/rtl/prove gives every harness
// (from lpfmap); a harness declares them all, whichever it looks at.
    parameter [4:0] LED_WORD = 5'd31,
    parameter [4:0] U_WORD = 5'd31,
    parameter [4:0] KU_WORD = 5'd31,
    parameter [4:0] KY_WORD = 5'd31,
    parameter [4:0] Y_WORD = 5'd31,
    parameter [4:0] IDENTITY_WORD = 5'd31,
    parameter [4:0] CLOCK_HZ_WORD = 5'd31,
    parameter [4:0] SAMPLE_COUNT_WORD = 5'd31,
    parameter [4:0] STATUS_WORD = 5'd31,
    parameter [31:0] IDENTITY = 32'd0,
    parameter [31:0] STATUS_PAIR_HELD = 32'd0,
    parameter integer PAIR_HOLD_SAMPLES = 2,
