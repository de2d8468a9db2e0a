// One iteration of the escape-time map on a vector of double lanes, with the proof obligations
// that make it give the reference's floats, or else say which lane must go back to the
// reference. Shared by the vector kernels: `L` supplies the vector type V, the lane mask type
// M and the operations on them, all with the meanings of plain IEEE double arithmetic in
// round-to-nearest-even. Include only inside a region compiled for L's instruction set, after
// every standard header.
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
// Step 1, products. fx*fx, fy*fy and (fx+fx)*fy are exact in double: fx+fx only moves the
// exponent, and two 24-bit significands make at most 48 bits. (The squares of the new values
// are computed at the end of the previous step and reused.)
//
// Step 2, the two sums. Real part: d = dbl(D) with D = fx^2 - fy^2 exact, s = dbl(d + x); the
// reference has d_e = ext(D), s_e = ext(d_e + x). Imaginary part: s = dbl(P + y) with P exact;
// the reference has s_e = ext(P + y). From the error bounds above:
//   imaginary:  |s - s_e| <= (2^-53 + 2^-64) |P + y| <= 2^-53 (1 + 2^-10) |s|
//   real:       |s - s_e| <= 2^-53 |d + x| + |d - d_e| + 2^-64 |d_e + x|
//                         <= 2^-53 (1 + 2^-10) (|d| + |s|)
// Call the right-hand side E_err. It can be large against s when d and x cancel.
//
// Step 3, rounding to float. F = flt(s) by the conversion instruction, which rounds to
// nearest-even like the store in the reference (it rounds into the float subnormal range
// correctly; under flush-to-zero the check below fails instead, so such lanes go back too).
// F = flt(s_e) as well when no float rounding boundary (a midpoint between neighbouring floats)
// lies within E_err of s; then s_e sits strictly inside the same rounding interval. Let
// 2^k <= |s| < 2^(k+1) and h = 2^(k-24), taken from the exponent bits of s (h = 0 for s = 0);
// r = s - F is exact (both are multiples of the spacing of doubles near s and |r| <= 2^(k-23)).
//   - For |s| >= 2^-126 the float grid in [2^k, 2^(k+1)] has spacing 2h, so the boundaries
//     there are F +- h: the nearest is h - |r| away. Outside the binade the nearest boundary
//     below 2^k is 2^k - h/2, at least h/2 away; above 2^(k+1) it is at least 2h away.
//   - For 0 < |s| < 2^-126 the grid is uniform with half-spacing 2^-150 >= 2h, so the nearest
//     boundary is at least 2h - |r| away.
// Either way |r| + 2 E_err < h suffices (it gives E_err < h - |r| and E_err < h/2).
//   Imaginary check: |r| * 2^51 <= K with K = (2^27 - 4) * 2^k, i.e. |r| <= h - 2^(k-49); both
//     sides are exact, and 2 E_err <= 2^-52 (1 + 2^-10) 2^(k+1) < 2^(k-49) closes the gap.
//   Real check: dbl(|r| * 2^51 + |d|) <= K. A double at most K means the exact sum is at most
//     K (1 + 2^-53), so |r| 2^52 + (1 + 2^-10)(|d| + |s|) <= 2 K (1 + 2^-53) + (1 + 2^-10) 2^(k+1)
//     < 2^(k+28): that is |r| + 2 E_err < h.
//   For s = 0, K = 0 and the checks pass only when r = 0 and d = 0: then s = s_e = 0 exactly.
// A lane that fails either check is handed to the reference from its state before the step.
//
// Step 4, the escape test. The new squares are exact; q = dbl(Fx^2 + Fy^2) and the reference's
// q_e = ext(Fx^2 + Fy^2) round the same exact sum Q. Rounding is monotone and 4 is a double:
//   q < 4  =>  Q < 4  =>  q_e <= 4: not escaped, as in the reference.
//   q > 4  =>  q >= 4 + 2^-50  =>  Q > 4 + 2^-51 (ties at that midpoint go to 4)
//          =>  q_e >= 4 + 2^-51 > 4: escaped, as in the reference.
//   q == 4 tells nothing (Q may lie just above 4): the lane is handed over, as for step 3.
// The reference tests the escape before the count limit, and the kernels do the same.
#pragma once

namespace Client {

// One step for a vector of lanes. The outputs are the new floats (exactly, as doubles), their
// squares, the squared modulus q, and per lane whether each rounding was proven to match.
template <class L>
struct OrbitStepResult {
  typename L::V fx;
  typename L::V fy;
  typename L::V fx2;
  typename L::V fy2;
  typename L::V q;
  typename L::M real_exact;
  typename L::M imag_exact;
};

template <class L>
inline OrbitStepResult<L> OrbitStep(typename L::V fx, typename L::V fy, typename L::V fx2,
                                    typename L::V fy2, typename L::V x, typename L::V y) {
  using V = typename L::V;
  const V scale = L::Splat(0x1p51);
  const V margin = L::Splat(0x1p27 - 4.0);

  const V d = L::Sub(fx2, fy2);
  const V sx = L::Add(d, x);
  const V sy = L::Add(L::Mul(L::Add(fx, fx), fy), y);

  OrbitStepResult<L> out;
  out.fx = L::RoundToFloat(sx);
  out.fy = L::RoundToFloat(sy);
  const V real_gap = L::Add(L::Mul(L::Abs(L::Sub(sx, out.fx)), scale), L::Abs(d));
  const V imag_gap = L::Mul(L::Abs(L::Sub(sy, out.fy)), scale);
  out.real_exact = L::Le(real_gap, L::Mul(L::Binade(sx), margin));
  out.imag_exact = L::Le(imag_gap, L::Mul(L::Binade(sy), margin));
  out.fx2 = L::Mul(out.fx, out.fx);
  out.fy2 = L::Mul(out.fy, out.fy);
  out.q = L::Add(out.fx2, out.fy2);
  return out;
}

}  // namespace Client
