// Evaluation of a stack on four points at once, in single precision.
//
// The transcendental functions are inline four-lane versions of the Cephes
// single-precision approximations (errors of a few units in the last place),
// so that the loop calls nothing but the multi-segment lookup.
#include "stitcher/geometry/project.h"
#include "stitcher/geometry/stack.h"

#include "stitcher/pipeline/keloerror.h"

#include <emmintrin.h>

// GCC's vector extension gives __m128 the arithmetic operators, one
// instruction each; -ffp-contract=off keeps them from fusing.
typedef __m128 v4;

static inline v4 vset(float a) { return _mm_set1_ps(a); }
// a where the mask is set, else b.
static inline v4 select(v4 mask, v4 a, v4 b)
{
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}
static inline v4 vabs(v4 a) { return _mm_andnot_ps(vset(-0.0f), a); }
static inline v4 sign_of(v4 a) { return _mm_and_ps(vset(-0.0f), a); }

static const float pi_f = 3.14159265358979f;
static const float half_pi_f = 1.57079632679490f;
static const float quarter_pi_f = 0.785398163397448f;
static const float unmapped = 1.0e21f;

static inline v4 vatan(v4 a)
{
    v4 sign = sign_of(a), x = vabs(a);
    v4 big = _mm_cmpgt_ps(x, vset(2.414213562f));
    v4 mid = _mm_andnot_ps(big, _mm_cmpgt_ps(x, vset(0.414213562f)));
    v4 xb = -(vset(1) / (x + vset(1e-35f)));
    v4 xm = (x - vset(1)) / (x + vset(1));
    v4 xx = select(big, xb, select(mid, xm, x));
    v4 base = select(big, vset(half_pi_f), _mm_and_ps(mid, vset(quarter_pi_f)));
    v4 z = xx * xx;
    v4 p = (((vset(8.05374449538e-2f) * z - vset(1.38776856032e-1f)) * z + vset(1.99777106478e-1f)) * z -
            vset(3.33329491539e-1f)) *
               z * xx +
           xx;
    return _mm_xor_ps(base + p, sign);
}

// atan2(y, x) in (-pi, pi]; atan2(0, 0) = 0 and atan2(0, x < 0) = pi.
static inline v4 vatan2(v4 y, v4 x)
{
    v4 zero = _mm_setzero_ps();
    v4 x_neg = _mm_cmplt_ps(x, zero), x_zero = _mm_cmpeq_ps(x, zero);
    v4 y_neg = _mm_cmplt_ps(y, zero), y_zero = _mm_cmpeq_ps(y, zero);
    v4 quadrant = _mm_and_ps(x_neg, select(y_neg, vset(-pi_f), vset(pi_f)));
    v4 t = vatan(y / select(x_zero, vset(half_pi_f), x));
    t = _mm_andnot_ps(_mm_or_ps(x_zero, y_zero), t);
    v4 y_sign = _mm_or_ps(_mm_and_ps(_mm_cmpgt_ps(y, zero), vset(1)), _mm_and_ps(y_neg, vset(-1)));
    v4 r = quadrant + t + _mm_and_ps(x_zero, y_sign * vset(half_pi_f));
    // The zeroing above must not turn a not-a-number argument into an angle.
    return _mm_or_ps(r, _mm_cmpunord_ps(y, x));
}

// Beyond this the reduction by multiples of pi/4 loses the angle; such
// points have no image.
static const float trig_limit = 8192.0f;

// Reduces abs(a) by the nearest even multiple j of pi/4; returns the
// remainder in [-pi/4, pi/4] and j.
static inline v4 reduce_quarter(v4 x, __m128i *j)
{
    __m128i n = _mm_cvttps_epi32(x * vset(1.27323954473516f));
    n = _mm_and_si128(_mm_add_epi32(n, _mm_set1_epi32(1)), _mm_set1_epi32(~1));
    v4 y = _mm_cvtepi32_ps(n);
    *j = n;
    return ((x - y * vset(0.78515625f)) - y * vset(2.4187564849853515625e-4f)) -
           y * vset(3.77489497744594108e-8f);
}

static inline v4 lane_mask(__m128i j, int bit)
{
    __m128i b = _mm_set1_epi32(bit);
    return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(j, b), b));
}

static inline void vsincos(v4 a, v4 *s, v4 *c)
{
    v4 x = vabs(a);
    __m128i j;
    v4 r = reduce_quarter(x, &j);
    v4 z = r * r;
    v4 pc =
        ((vset(2.443315711809948e-5f) * z - vset(1.388731625493765e-3f)) * z + vset(4.166664568298827e-2f)) *
            z * z -
        vset(0.5f) * z + vset(1);
    v4 ps = ((vset(-1.9515295891e-4f) * z + vset(8.3321608736e-3f)) * z - vset(1.6666654611e-1f)) * z * r + r;
    v4 swap = lane_mask(j, 2);
    v4 sin_neg = _mm_xor_ps(_mm_and_ps(lane_mask(j, 4), vset(-0.0f)), sign_of(a));
    v4 cos_neg = _mm_and_ps(lane_mask(_mm_add_epi32(j, _mm_set1_epi32(2)), 4), vset(-0.0f));
    v4 lost = _mm_cmpgt_ps(x, vset(trig_limit));
    *s = _mm_or_ps(_mm_xor_ps(select(swap, pc, ps), sin_neg), lost);
    *c = _mm_or_ps(_mm_xor_ps(select(swap, ps, pc), cos_neg), lost);
}

static inline v4 vcos(v4 a)
{
    v4 s, c;
    vsincos(a, &s, &c);
    return c;
}

// Not-a-number beyond [-1, 1].
static inline v4 vasin(v4 a)
{
    v4 sign = sign_of(a), x = vabs(a);
    v4 big = _mm_cmpgt_ps(x, vset(0.5f));
    v4 zb = vset(0.5f) * (vset(1) - x);
    v4 z = select(big, zb, x * x);
    v4 xx = select(big, _mm_sqrt_ps(zb), x);
    v4 p = ((((vset(4.2163199048e-2f) * z + vset(2.4181311049e-2f)) * z + vset(4.5470025998e-2f)) * z +
             vset(7.4953002686e-2f)) *
                z +
            vset(1.6666752422e-1f)) *
               z * xx +
           xx;
    v4 r = select(big, vset(half_pi_f) - (p + p), p);
    r = select(_mm_cmplt_ps(x, vset(1e-4f)), x, r);
    return _mm_xor_ps(r, sign);
}

static inline v4 vtan(v4 a)
{
    v4 sign = sign_of(a), x = vabs(a);
    __m128i j;
    v4 z = reduce_quarter(x, &j);
    v4 zz = z * z;
    v4 p = (((((vset(9.38540185543e-3f) * zz + vset(3.11992232697e-3f)) * zz + vset(2.44301354525e-2f)) * zz +
              vset(5.34112807005e-2f)) *
                 zz +
             vset(1.33387994085e-1f)) *
                zz +
            vset(3.33331568548e-1f)) *
               zz * z +
           z;
    p = select(lane_mask(j, 2), -(vset(1) / p), p);
    p = select(_mm_cmplt_ps(x, vset(1e-4f)), x, p);
    p = _mm_or_ps(p, _mm_cmpgt_ps(x, vset(trig_limit)));
    return _mm_xor_ps(p, sign);
}

// ---- Steps that need more than a line ----

// 12: direction to an equidistant fisheye plane. A direction on the axis
// in front of the lens maps to the centre.
static inline void to_fisheye(v4 &x, v4 &y, v4 z, v4 d)
{
    v4 rho = _mm_sqrt_ps(x * x + y * y);
    v4 ratio = vatan2(rho, z) / rho;
    v4 axis = _mm_and_ps(_mm_cmpeq_ps(rho, _mm_setzero_ps()), _mm_cmpgt_ps(z, _mm_setzero_ps()));
    ratio = d * select(axis, vset(1) / z, ratio);
    x = ratio * x;
    y = ratio * y;
}

// 13 and 14: direction to an equisolid-angle plane, R = 2 d sin(theta / 2).
// With n the length of the direction, 2 sin(theta / 2) = sqrt(2 (n - z) / n),
// which is rho sqrt(2 / (n (n + z))) in front: no trigonometry to round, no
// cancellation on either side, and on the axis in front the limit 1/z comes
// out by itself. Straight back the side of the rim is undefined.
static inline void to_equisolid(v4 &x, v4 &y, v4 z, v4 d)
{
    v4 rho = _mm_sqrt_ps(x * x + y * y);
    v4 n = _mm_sqrt_ps(x * x + y * y + z * z);
    v4 front = _mm_sqrt_ps(vset(2) / (n * (n + z)));
    v4 back = _mm_sqrt_ps(vset(2) * (n - z) / n) / rho;
    v4 ratio = d * select(_mm_cmpge_ps(z, _mm_setzero_ps()), front, back);
    x = ratio * x;
    y = ratio * y;
}

// 18 to 20: fisheye plane to unit direction; the centre is (0, 0, 1).
// Beyond the rim of an equisolid disc asin, and with it the direction, is
// not-a-number.
static inline void from_fisheye(v4 &x, v4 &y, v4 &z, v4 inv_d, bool equisolid)
{
    v4 rho = _mm_sqrt_ps(x * x + y * y);
    v4 theta = equisolid ? vset(2) * vasin(inv_d * rho * vset(0.5f)) : inv_d * rho;
    v4 s, c;
    vsincos(theta, &s, &c);
    v4 ratio = select(_mm_cmpeq_ps(rho, _mm_setzero_ps()), inv_d, s / rho);
    x = ratio * x;
    y = ratio * y;
    z = c;
}

static inline v4 radial_poly(const vector_stack *p, v4 r)
{
    v4 p0 = _mm_load_ps(p[0].lane), p1 = _mm_load_ps(p[1].lane), p2 = _mm_load_ps(p[2].lane);
    v4 p3 = _mm_load_ps(p[3].lane), p4 = _mm_load_ps(p[4].lane);
    return (((p4 * r + p3) * r + p2) * r + p1) * r + p0;
}

// 23: the inverse of the radial step by four Newton rounds. The centre
// stays the centre; beyond the validity radius there is no image.
static inline void inv_radial(v4 &x, v4 &y, const vector_stack *p)
{
    v4 p0 = _mm_load_ps(p[0].lane), p1 = _mm_load_ps(p[1].lane), p2 = _mm_load_ps(p[2].lane);
    v4 p3 = _mm_load_ps(p[3].lane), p4 = _mm_load_ps(p[4].lane);
    v4 r = _mm_sqrt_ps(x * x + y * y) / _mm_load_ps(p[5].lane);
    v4 valid = _mm_cmplt_ps(r, _mm_load_ps(p[6].lane));
    r = _mm_and_ps(valid, r);
    v4 R = r / p0;
    for (int k = 0; k < 4; k++) {
        v4 f = R * radial_poly(p, R) - r;
        v4 df = (((vset(5) * p4 * R + vset(4) * p3) * R + vset(3) * p2) * R + vset(2) * p1) * R + p0;
        R = R - f / df;
    }
    v4 ratio = select(_mm_cmpeq_ps(r, _mm_setzero_ps()), vset(1) / p0, R / r);
    ratio = _mm_or_ps(ratio, _mm_cmpeq_ps(valid, _mm_setzero_ps()));
    x = x * ratio;
    y = y * ratio;
}

// 24: three-parameter panorama plane to unit direction.
static inline void from_tripar(v4 &x, v4 &y, v4 &z, const vector_stack *p)
{
    v4 inv_d = _mm_load_ps(p[1].lane), e = _mm_load_ps(p[4].lane);
    v4 zero = _mm_setzero_ps(), one = vset(1);
    v4 u = inv_d * x, v = inv_d * y;
    v4 sigma = select(_mm_cmplt_ps(v, zero), _mm_load_ps(p[2].lane), _mm_load_ps(p[3].lane));
    v4 a = vabs(u) / (e + one), a2 = a * a;
    // c = cos phi, the root of |u| = (e + 1) sin phi / (e + cos phi). The
    // discriminant a^4 e^2 - (a^2 e^2 - 1)(a^2 + 1) is written without its
    // cancelling terms; it is negative only for e > 1.
    v4 c = (_mm_sqrt_ps(one + a2 * (one - e * e)) - a2 * e) / (a2 + one);
    v4 k = (e + c) / (e + one);
    v4 phi = vatan2(u * k, c);
    v4 centre = _mm_cmpeq_ps(u, zero);
    c = select(centre, one, c);
    k = select(centre, one, k);
    phi = _mm_andnot_ps(centre, phi);

    v4 a1 = vatan(v * k), a2t = vatan(v * c);
    v4 damp = one + vset(2) * e * sigma * (vcos(vset(0.92f) * phi) - one) / (e + one);
    v4 lat = select(_mm_cmpgt_ps(sigma, zero), a1 + sigma * (a2t - a1),
                    select(_mm_cmplt_ps(sigma, zero), vatan(v * k / damp), a1));
    v4 sl, cl, sp, cp;
    vsincos(lat, &sl, &cl);
    vsincos(phi, &sp, &cp);
    x = cl * sp;
    y = sl;
    z = cl * cp;
}

// 25: direction to the three-parameter plane; the exact inverse of 24 for
// squeezes of 0 or less. Far to the side the divisor of the upper/lower
// squeeze stays at 0.01, so that the result does not jump.
static inline void to_tripar(v4 &x, v4 &y, v4 z, const vector_stack *p)
{
    v4 d = _mm_load_ps(p[0].lane), e = _mm_load_ps(p[4].lane);
    v4 zero = _mm_setzero_ps(), one = vset(1);
    v4 q = _mm_sqrt_ps(x * x + z * z);
    v4 lat = vatan2(y, q);
    v4 phi = vatan2(x, z);
    // cos phi and sin phi straight from the direction: far to the side
    // 1/cos phi magnifies every rounding of phi. At the poles phi is 0.
    v4 pole = _mm_cmpeq_ps(q, zero);
    v4 cp = select(pole, one, z / q), sp = _mm_andnot_ps(pole, x / q);
    v4 S = (e + one) / (e + cp);
    v4 t = S * vtan(lat);
    v4 sigma = select(_mm_cmplt_ps(lat, zero), _mm_load_ps(p[2].lane), _mm_load_ps(p[3].lane));
    // max with cp second, so that a not-a-number cosine stays one.
    v4 T = t / _mm_max_ps(vset(0.01f), cp);
    v4 up = t + sigma * (T - t);
    v4 down = t * (one + vset(2) * e * sigma * (vcos(vset(0.92f) * phi) - one) / (e + one));
    x = d * S * sp;
    y = d * select(_mm_cmpgt_ps(sigma, zero), up, select(_mm_cmplt_ps(sigma, zero), down, t));
}

// 26: the multi-segment lookup, one lane after another.
static inline void mult_rectilinear(v4 &x, v4 &z, const vector_stack *p)
{
    float n = p[0].lane[0];
    int count = n >= static_cast<float>(N_SEGM) ? N_SEGM : n >= 0 ? static_cast<int>(n) : 0;
    kassert(mult_rectilinear_data != nullptr);
    alignas(16) float xs[4], zs[4];
    _mm_store_ps(xs, x);
    _mm_store_ps(zs, z);
    for (int l = 0; l < 4; l++)
        project_pano(&xs[l], &zs[l], mult_rectilinear_data, count);
    x = _mm_load_ps(xs);
    z = _mm_load_ps(zs);
}

void remap(float *xa, float *ya, const vector_stack *s)
{
    v4 x = _mm_load_ps(xa), y = _mm_load_ps(ya), z = _mm_setzero_ps();
    int i = 0;
    for (;;) {
        const int f = s[i].func;
        if (f < 0)
            break;
        const vector_stack *p = s + i + 1;
        auto P = [p](int k) { return _mm_load_ps(p[k].lane); };
        switch (f) {
        case _identity:
            break;
        case _radial: {
            v4 r = _mm_sqrt_ps(x * x + y * y) / P(5);
            v4 sc = radial_poly(p, r);
            v4 out = _mm_cmpgt_ps(r, P(6));
            x = select(out, vset(unmapped), sc * x);
            y = select(out, vset(unmapped), sc * y);
            break;
        }
        case _vert_radial: {
            v4 t = vabs(y) / P(5);
            y = y * radial_poly(p, t);
            break;
        }
        case _shift_scale_rotate: {
            v4 dx = x - P(0), dy = y - P(1);
            x = P(2) * (P(3) * dx - P(4) * dy);
            y = P(2) * (P(4) * dx + P(3) * dy);
            break;
        }
        case _scale:
            x = P(0) * x;
            y = P(1) * y;
            break;
        case _shear: {
            v4 nx = P(0) * (x + P(1) * y);
            y = P(0) * (y + P(2) * x);
            x = nx;
            break;
        }
        case _shift:
            x = x + P(0);
            y = y + P(1);
            break;
        case _perspect: {
            v4 nx = P(0) * x + P(1) * y + P(2) * z;
            v4 ny = P(3) * x + P(4) * y + P(5) * z;
            z = P(6) * x + P(7) * y + P(8) * z;
            x = nx;
            y = ny;
            break;
        }
        case _to_rectilinear: {
            v4 behind = _mm_cmplt_ps(z, _mm_setzero_ps());
            x = select(behind, vset(unmapped), P(0) * x / z);
            y = select(behind, vset(unmapped), P(0) * y / z);
            break;
        }
        case _to_cylindrical: {
            v4 q = _mm_sqrt_ps(x * x + z * z);
            v4 nx = P(0) * vatan2(x, z);
            y = P(0) * y / q;
            x = nx;
            break;
        }
        case _to_equirect: {
            v4 q = _mm_sqrt_ps(x * x + z * z);
            v4 nx = P(0) * vatan2(x, z);
            y = P(0) * vatan2(y, q);
            x = nx;
            break;
        }
        case _to_fisheye:
            to_fisheye(x, y, z, P(0));
            break;
        case _to_equisolid:
            to_equisolid(x, y, z, P(0));
            break;
        case _to_mirror_equisolid:
            to_equisolid(x, y, z, P(0));
            x = -x;
            break;
        case _from_rectilinear:
            z = P(0);
            break;
        case _from_cylindrical: {
            v4 sa, ca;
            vsincos(P(1) * x, &sa, &ca);
            x = P(0) * sa;
            z = P(0) * ca;
            break;
        }
        case _from_equirect: {
            v4 sl, cl, sp, cp;
            vsincos(P(1) * x, &sl, &cl);
            vsincos(P(1) * y, &sp, &cp);
            x = cp * sl;
            y = sp;
            z = cp * cl;
            break;
        }
        case _from_fisheye:
            from_fisheye(x, y, z, P(1), false);
            break;
        case _from_equisolid:
            from_fisheye(x, y, z, P(1), true);
            break;
        case _from_mirror_equisolid:
            from_fisheye(x, y, z, P(1), true);
            x = -x;
            break;
        case _translate:
            x = P(2) * (x - P(0) * z);
            y = P(2) * (y + P(1) * z);
            break;
        case _inv_translate:
            x = P(2) * x - P(0) * z;
            y = P(2) * y + P(1) * z;
            break;
        case _inv_radial:
            inv_radial(x, y, p);
            break;
        case _from_tripar:
            from_tripar(x, y, z, p);
            break;
        case _to_tripar:
            to_tripar(x, y, z, p);
            break;
        case _mult_rectilinear:
            mult_rectilinear(x, z, p);
            break;
        default:
            // Code 0 and codes past the table are not steps.
            assertion_failed("s[i].func > 0 && s[i].func < sizeof(remap_data_size)/sizeof(int)", __FILE__,
                             __LINE__);
        }
        i += 1 + remap_data_size[f];
    }
    _mm_store_ps(xa, x);
    _mm_store_ps(ya, y);
}
