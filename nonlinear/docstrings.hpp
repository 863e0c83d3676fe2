// Docstrings of the nonlinear functions (`_apply_nlfunc` has none).
#pragma once

namespace tarvel::docstrings {

// The unary nonlinear functions share one layout; PURPOSE is one or two
// lines, each already indented and ending in a line feed.
#define TARVEL_UNARY_DOC(NAME, PURPOSE)                                           \
    "\n"                                                                          \
    "    ROUTINE:\n"                                                              \
    "      " NAME "(expr)\n"                                                      \
    "\n"                                                                          \
    "    PURPOSE:\n" PURPOSE                                                      \
    "\n"                                                                          \
    "    ARGUMENTS:\n"                                                            \
    "      expr: A tarvelpy modeling object or numeric value.\n"                 \
    "\n"                                                                          \
    "    RETURN VALUE:\n"                                                         \
    "      If the argument is a term-based modeling object or numeric value,\n"  \
    "      returns an NLExpr. If the argument is a matrix-friendly modeling\n"   \
    "      object, returns an MNLExpr.\n"                                        \
    "\n"                                                                          \
    "    EXAMPLE:\n"                                                              \
    "      x = model.addVar()\n"                                                  \
    "      nlexpr = nlfunc." NAME "(x)\n"                                         \
    "    "

#define TARVEL_PURPOSE(LINE) "      " LINE "\n"

inline constexpr const char sqrt[] =
    TARVEL_UNARY_DOC("sqrt", TARVEL_PURPOSE("Return an expression representing the square root of the argument."));
inline constexpr const char sin[] =
    TARVEL_UNARY_DOC("sin", TARVEL_PURPOSE("Return an expression representing the sine of the argument."));
inline constexpr const char cos[] =
    TARVEL_UNARY_DOC("cos", TARVEL_PURPOSE("Return an expression representing the cosine of the argument."));
inline constexpr const char tan[] =
    TARVEL_UNARY_DOC("tan", TARVEL_PURPOSE("Return an expression representing the tangent function of the")
                                TARVEL_PURPOSE("argument."));
inline constexpr const char exp[] =
    TARVEL_UNARY_DOC("exp", TARVEL_PURPOSE("Return an expression representing e raised to the power of the")
                                TARVEL_PURPOSE("argument."));
inline constexpr const char log[] =
    TARVEL_UNARY_DOC("log", TARVEL_PURPOSE("Return an expression representing the natural logorithm of the")
                                TARVEL_PURPOSE("argument."));
inline constexpr const char log2[] =
    TARVEL_UNARY_DOC("log2", TARVEL_PURPOSE("Return an expression representing the base 2 logorithm of the")
                                 TARVEL_PURPOSE("argument."));
inline constexpr const char log10[] =
    TARVEL_UNARY_DOC("log10", TARVEL_PURPOSE("Return an expression representing the base 10 logorithm of the")
                                  TARVEL_PURPOSE("argument."));
inline constexpr const char logistic[] =
    TARVEL_UNARY_DOC("logistic", TARVEL_PURPOSE("Return an expression representing the logistic function of the")
                                     TARVEL_PURPOSE("argument."));
inline constexpr const char tanh[] =
    TARVEL_UNARY_DOC("tanh", TARVEL_PURPOSE("Return an expression representing the hyperbolic tangent function")
                                 TARVEL_PURPOSE("of the argument."));
inline constexpr const char square[] =
    TARVEL_UNARY_DOC("square", TARVEL_PURPOSE("Return an expression representing the square of the argument."));

#undef TARVEL_PURPOSE
#undef TARVEL_UNARY_DOC

inline constexpr const char signpow[] =
    "\n"
    "    ROUTINE:\n"
    "      signpow(base, exponent)\n"
    "\n"
    "    PURPOSE:\n"
    "      Return an expression representing the signed power function of the\n"
    "      arguments. The signed power function is defined as\n"
    "\n"
    "        signpow(x, a) = sign(x) * abs(x) ** a\n"
    "\n"
    "    ARGUMENTS:\n"
    "      base: A tarvelpy modeling object or numeric value.\n"
    "      exponent: A scalar numeric value >= 1\n"
    "\n"
    "    RETURN VALUE:\n"
    "      If ``base`` is a term-based modeling object or numeric value, returns\n"
    "      an NLExpr. If ``base`` is a matrix-friendly modeling object, returns an\n"
    "      MNLExpr.\n"
    "\n"
    "    EXAMPLE:\n"
    "      x = model.addVar()\n"
    "      nlexpr = nlfunc.signpow(x, 2.0)\n"
    "    ";

}  // namespace tarvel::docstrings
