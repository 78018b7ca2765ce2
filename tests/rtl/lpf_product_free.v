// The step proof's product of the multiplier's operands: a function of
// them that the solver knows nothing about but its range (declared as
// lpf_product by tests/rtl/prove). The harness gives it the true product's
// sign: Ku and Ky are unsigned, the second operand signed, so a product
// lies strictly between -2^64 and 2^64 and has the second operand's sign.
(* blackbox *) (* smtlib2_module *)
module lpf_product_free (
    input  wire [31:0] a,
    input  wire [32:0] b,
    (* smtlib2_comb_expr = "(lpf_product a b)" *)
    output wire [63:0] magnitude
);
endmodule
