// One iteration of the escape-time map on a vector of double lanes, with the proof obligations
// that make it give the reference's floats, or else say which lane must go back to the
// reference. Shared by the vector kernels: `L` supplies the vector type V, the lane mask type
// M and the operations on them, all with the meanings of IEEE double arithmetic in
// round-to-nearest-even: MulAdd(a, b, c) and MulSub(a, b, c) are a*b + c and a*b - c rounded
// once (used only where a*b is exact, so they round exactly as a product and a sum would), Max
// is the larger of two non-negative numbers, AddBits an integer addition to each lane's bit
// pattern, LeNonNegative a <= b for non-negative a and b. Include only inside a region compiled
// for L's instruction set, after every standard header.
//
// The reference step, for floats fx, fy, x, y, with ext() rounding to 64 significant bits and
// flt() to a float:
//
//   fx' = flt(ext(ext(fx*fx - fy*fy) + x))      fy' = flt(ext((2*fx)*fy + y))
//   escaped  <=>  ext(fx'*fx' + fy'*fy') > 4
//
// (the products of two floats are exact in extended, so they carry no ext()). The vector step
// computes the same expressions with dbl() rounding to 53 bits. Preconditions, which the kernels
// keep: |x|, |y| <= 2^20 (kVectorBound); fx, fy are floats with fx^2 + fy^2 <= 4(1 + 2^-63)
// (the previous step did not escape) or fx = fy = 0. So every value below is finite and small,
// and no double or extended result is subnormal: every product of floats and every sum of such
// products and floats is a multiple of 2^-298, so it is either 0 or at least 2^-298. Each
// rounding therefore obeys |round(t) - t| <= 2^-p |t| (p = 53 or 64) and is 0 only for t = 0.
//
// Step 1, products. fx*fx, fy*fy and (2*fx)*fy are exact in double: 2*fx only moves the
// exponent, and two 24-bit significands make at most 48 bits. So d = MulSub(fx, fx, fy*fy) is
// dbl(fx*fx - fy*fy) and MulAdd(2*fx, fy, y) is dbl((2*fx)*fy + y), as in the reference with
// dbl() for ext(). (fy*fy is computed at the end of the previous step and kept.)
//
// Step 2, the two sums. Real part: d = dbl(D) with D = fx^2 - fy^2 exact, s = dbl(d + x); the
// reference has d_e = ext(D), s_e = ext(d_e + x). Imaginary part: s = dbl(P + y) with P exact;
// the reference has s_e = ext(P + y). From the error bounds above:
//   imaginary:  |s - s_e| <= (2^-53 + 2^-64) |P + y| <= 2^-53 (1 + 2^-10) |s|
//   real:       |s - s_e| <= 2^-53 |d + x| + |d - d_e| + 2^-64 |d_e + x|
//                         <= 2^-53 (1 + 2^-10) (|d| + |s|)
// Call the right-hand side E_err. It can be large against s when d and x cancel.
//
// Step 3, rounding to float. Let 2^k <= |s| < 2^(k+1) (2^k from the exponent bits of s; 0 for
// s = 0) and g = max(2^k, 2^-126), so that 2h with h = g 2^-24 is the spacing of floats near s
// (the subnormal spacing 2^-149 below 2^-126). With M = 3 * 2^28 * g, the double sum s + M
// lies in [2^29 g, 2^30 g), where doubles are spaced exactly 2h: so it rounds s to the float
// grid, to nearest, and on a tie to the even multiple of 2h (M itself is an even multiple),
// which is the float with the even significand. F = (s + M) - M is then exact and equals
// flt(s), the store of the reference applied to s, including subnormal results and the step up
// to 2^(k+1), with one exception: the sign of a zero. For s = -0, or a negative s above
// -2^-150, flt(s) is -0 but M - M is +0. (This needs round-to-nearest-even in the vector unit,
// the mode nothing in this program changes; flush-to-zero cannot matter, no double here being
// subnormal.)
// That sign cannot change a count. A part that is zero reaches the escape test only squared,
// and the next step only as a factor of a product, whose zero (of either sign) is then added
// exactly to a float: x + (+-0) = x for x != 0, and a sum of two zeros is a zero again. So every
// later nonzero value, every escape decision and every count is the same whichever sign the
// zero had, including where a lane goes back to the reference from the vector's state; only
// zeros may differ in sign, and nothing but counts leaves the kernels. Tests of single steps
// therefore compare a zero by value, not by sign.
// F = flt(s_e) as well when no float rounding boundary (a midpoint between neighbouring floats)
// lies within E_err of s; then s_e sits strictly inside the same rounding interval. r = s - F
// is exact (|r| <= |s| because 0 is a float, and both are multiples of 2^(k-52)).
//   - For |s| >= 2^-126 the floats in [2^k, 2^(k+1)] are spaced 2h, so the boundaries there
//     are F +- h: the nearest is h - |r| away. Outside the binade the nearest boundary below
//     2^k is 2^k - h/2, at least h/2 away; above 2^(k+1) it is at least 2h away.
//   - For |s| < 2^-126, s = 0 included, the grid is uniform with spacing 2h, so the nearest
//     boundary is h - |r| away.
// Either way |r| + 2 E_err < h suffices (it gives E_err < h - |r| and E_err < h/2). With
// K = (2^27 - 4) g = 2^27 h - 4g, both sides of each check below exact or bounded:
//   Imaginary check: |r| <= h - 2^-25 h (the threshold exact). Since |s| < 2g, 2 E_err
//     <= 2^-52 (1 + 2^-10) 2g = 2^-27 (1 + 2^-10) h < 2^-25 h closes the gap.
//   Real check: dbl(|r| * 2^51 + |d|) <= K. A double at most K means the exact sum is at most
//     K (1 + 2^-53), so (as (1 + 2^-10)|d| <= 2|d| and |s| < 2g) |r| 2^52 + (1 + 2^-10)
//     (|d| + |s|) <= 2 K (1 + 2^-53) + (1 + 2^-10) 2g < 2^28 g = 2^52 h: |r| + 2 E_err < h.
// A lane that fails either check gets the second look below, then, failing that too, the
// reference takes its step from the state before it.
//
// Step 4, the escape test. The new squares are exact; q = dbl(Fx^2 + Fy^2) and the reference's
// q_e = ext(Fx^2 + Fy^2) round the same exact sum Q. Rounding is monotone and 4 is a double:
//   q < 4  =>  Q < 4  =>  q_e <= 4: not escaped, as in the reference.
//   q > 4  =>  q >= 4 + 2^-50  =>  Q > 4 + 2^-51 (ties at that midpoint go to 4)
//          =>  q_e >= 4 + 2^-51 > 4: escaped, as in the reference.
//   q == 4 tells nothing (Q may lie just above 4): the lane is handled as for step 3.
// The reference tests the escape before the count limit, and the kernels do the same.
//
// Second look, for lanes that failed a check (StepExactness). Short coordinates make many
// steps exact, and exact sums often sit on float ties, where the checks must fail. If a sum
// carried no rounding error in double (the error term of Knuth's TwoSum, exact for doubles
// without overflow, is 0), it equals the exact value, which then fits 53 bits and so is the
// extended value too: d = D exactly and s = D + x exactly, so d_e = D and s_e = s; likewise
// for P + y and for Fx^2 + Fy^2. Equal values round to the same float, ties included, and an
// exact q == 4 means Q = 4, not escaped. Only steps that fail this too go to the reference.
#pragma once

namespace Client {

// One step for a vector of lanes. The outputs are the new floats (exactly, as doubles), the
// square of the new imaginary part, the squared modulus q, and per lane whether each rounding
// was proven to match.
template <class L>
struct OrbitStepResult {
  typename L::V fx;
  typename L::V fy;
  typename L::V fy2;
  typename L::V q;
  typename L::M real_exact;
  typename L::M imag_exact;
};

// Bits added to g = 2^j (j >= -126) to make M = 1.5 * 2^(j+29) = 3 * 2^28 g, K = 2^(j+26)
// (2 - 2^-24) = (2^27 - 4) g, and h - 2^-25 h = 2^(j-25) (2 - 2^-24) = (2^-24 - 2^-49) g: an
// exponent step and a significand, without carries.
inline constexpr long long kMagicBits = (29LL << 52) | (1LL << 51);
inline constexpr long long kRealMarginBits = (26LL << 52) | 0x000ffffff0000000LL;
inline constexpr long long kImagMarginBits = -(25LL << 52) | 0x000ffffff0000000LL;
inline constexpr double kSmallestNormalFloat = 0x1p-126;

template <class L>
inline OrbitStepResult<L> OrbitStep(typename L::V fx, typename L::V fy, typename L::V fy2,
                                    typename L::V x, typename L::V y) {
  using V = typename L::V;
  const V d = L::MulSub(fx, fx, fy2);
  const V sx = L::Add(d, x);
  const V sy = L::MulAdd(L::Mul(fx, L::Splat(2.0)), fy, y);

  const V gx = L::Max(L::Binade(sx), L::Splat(kSmallestNormalFloat));
  const V gy = L::Max(L::Binade(sy), L::Splat(kSmallestNormalFloat));
  const V magic_x = L::AddBits(gx, kMagicBits);
  const V magic_y = L::AddBits(gy, kMagicBits);
  OrbitStepResult<L> out;
  out.fx = L::Sub(L::Add(sx, magic_x), magic_x);
  out.fy = L::Sub(L::Add(sy, magic_y), magic_y);
  const V real_gap = L::MulAdd(L::Abs(L::Sub(sx, out.fx)), L::Splat(0x1p51), L::Abs(d));
  out.real_exact = L::LeNonNegative(real_gap, L::AddBits(gx, kRealMarginBits));
  out.imag_exact = L::LeNonNegative(L::Abs(L::Sub(sy, out.fy)), L::AddBits(gy, kImagMarginBits));
  out.fy2 = L::Mul(out.fy, out.fy);
  out.q = L::MulAdd(out.fx, out.fx, out.fy2);
  return out;
}

// Error-free sum: a + b = sum + error exactly, for doubles whose sum does not overflow.
template <class L>
inline typename L::V SumError(typename L::V a, typename L::V b, typename L::V sum) {
  const typename L::V b_part = L::Sub(sum, a);
  return L::Add(L::Sub(a, L::Sub(sum, b_part)), L::Sub(b, b_part));
}

// Which parts of a step were computed without any rounding (the second look above): from the
// state before the step (fx, fy, fy2 = fy*fy, c = (x, y)) and the new floats it gave.
template <class L>
struct StepExactness {
  typename L::M real;     // fx^2 - fy^2 and the sum with x exact
  typename L::M imag;     // (2 fx) fy + y exact
  typename L::M modulus;  // Fx^2 + Fy^2 exact
};

template <class L>
inline StepExactness<L> StepWasExact(typename L::V fx, typename L::V fy, typename L::V fy2,
                                     typename L::V x, typename L::V y, typename L::V new_fx,
                                     typename L::V new_fy) {
  using V = typename L::V;
  const V zero = L::Splat(0.0);
  const V fx2 = L::Mul(fx, fx);  // exact, as are the other products here
  const V d = L::Sub(fx2, fy2);
  const V sx = L::Add(d, x);
  const V p = L::Mul(L::Mul(fx, L::Splat(2.0)), fy);
  const V sy = L::Add(p, y);
  const V new_fx2 = L::Mul(new_fx, new_fx);
  const V new_fy2 = L::Mul(new_fy, new_fy);
  const V q = L::Add(new_fx2, new_fy2);
  return StepExactness<L>{L::And(L::Equal(SumError<L>(fx2, L::Sub(zero, fy2), d), zero),
                                 L::Equal(SumError<L>(d, x, sx), zero)),
                          L::Equal(SumError<L>(p, y, sy), zero),
                          L::Equal(SumError<L>(new_fx2, new_fy2, q), zero)};
}

}  // namespace Client
