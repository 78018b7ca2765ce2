// One piece of lpf_system's product: 17 x 17 bits, signed, what a
// multiplier block of 18 x 18 bits or more takes. A module of its own so
// that the two-copy proof can put a function it knows nothing about in its
// place (tests/rtl/prove).
`default_nettype none

module lpf_multiply_piece (
    input  wire signed [16:0] a,
    input  wire signed [16:0] b,
    output wire signed [33:0] p
);
    assign p = a * b;
endmodule

`default_nettype wire
