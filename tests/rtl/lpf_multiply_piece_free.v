// The two-copy proof's lpf_multiply_piece: a function of its operands that
// the solver knows nothing about but that it is a function (declared as
// lpf_piece by tests/rtl/prove). Whatever holds for it holds for the
// multiplier too.
(* blackbox *) (* smtlib2_module *)
module lpf_multiply_piece (
    input  wire [16:0] a,
    input  wire [16:0] b,
    (* smtlib2_comb_expr = "(lpf_piece a b)" *)
    output wire [33:0] p
);
endmodule
