// The 8 x 8 transpose of window lines into lanes, written once for both wide
// paths: included in each path's region of lanes2d.cpp with V (the register),
// unpack_lo, unpack_hi, pick<imm> (the shuffles within 128 bits) and
// low_halves, high_halves (the moves of 128-bit halves) in scope. An AVX2
// register holds the 8 floats of one line; an AVX-512 register holds two
// lines (windows k and k + 8) whose halves are transposed at once.
inline void transpose8(V r[8]) {
    const V t0 = unpack_lo(r[0], r[1]), t1 = unpack_hi(r[0], r[1]);
    const V t2 = unpack_lo(r[2], r[3]), t3 = unpack_hi(r[2], r[3]);
    const V t4 = unpack_lo(r[4], r[5]), t5 = unpack_hi(r[4], r[5]);
    const V t6 = unpack_lo(r[6], r[7]), t7 = unpack_hi(r[6], r[7]);
    const V s0 = pick<0x44>(t0, t2), s1 = pick<0xEE>(t0, t2);
    const V s2 = pick<0x44>(t1, t3), s3 = pick<0xEE>(t1, t3);
    const V s4 = pick<0x44>(t4, t6), s5 = pick<0xEE>(t4, t6);
    const V s6 = pick<0x44>(t5, t7), s7 = pick<0xEE>(t5, t7);
    r[0] = low_halves(s0, s4);
    r[1] = low_halves(s1, s5);
    r[2] = low_halves(s2, s6);
    r[3] = low_halves(s3, s7);
    r[4] = high_halves(s0, s4);
    r[5] = high_halves(s1, s5);
    r[6] = high_halves(s2, s6);
    r[7] = high_halves(s3, s7);
}
