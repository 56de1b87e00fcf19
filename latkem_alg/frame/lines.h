// The line a traceback entry reports for each statement of the module's
// functions (file `latkem_alg\Latkem`, entry `Latkem.<name>`) and of its
// body (entry `init Latkem`), one namespace a function.  Every `f.line = ...`
// and `f.fail_at(...)` in the bodies and their native paths names its
// statement here; a loop header's line is the one reported while the loop
// tests or steps (`..._loop`, `..._rows`, ...).  Beside each name, the
// statement it stands for.  The functions' first lines, reported for a
// binding error and kept by the code objects, are in table.h.
//
// These numbers are what callers see and must never change;
// tests/test_frame.py holds a copy of them.
#pragma once

namespace latkem {
namespace line {

namespace compress {
constexpr int round_x = 32;   // new_x = round(2 ** d_u / q * x)
constexpr int make_mod = 33;  // mod = 2 ** d_u
constexpr int reduce_x = 34;  // return new_x % mod
}  // namespace compress

namespace decompress {
constexpr int round_x = 39;  // new_x = round(q / 2 ** d_u * x)
}  // namespace decompress

namespace CBD {
constexpr int zeros = 44;      // f = [0] * 256
constexpr int read_bits = 45;  // new_list = hex_to_bits(byte_array)
constexpr int bit_loop = 49;   // for jc in range(eta)
constexpr int add_a = 50;      // ac = ac + int(new_list[2 * ic * eta + jc])
constexpr int add_b = 51;      // bc = bc + int(new_list[2 * ic * eta + eta + jc])
constexpr int store = 52;      // f[ic] = ac - bc
}  // namespace CBD

namespace PRF {
constexpr int bytes_seed = 57;   // ss = bytes(ss)
constexpr int bytes_nonce = 58;  // bd = bytes(bd)
constexpr int join = 59;         // data = ss + bd
constexpr int shake = 62;        // hash_value = hashlib.shake_256(data).digest(64 * eta)
constexpr int to_hex = 64;       // return hash_value.hex()
}  // namespace PRF

namespace H {
constexpr int unhex = 68;           // data = binascii.unhexlify(data)
constexpr int new_hash = 70;        // sha3 = hashlib.sha3_256()
constexpr int update = 71;          // sha3.update(data)
constexpr int hexdigest = 72;       // string = sha3.hexdigest()
constexpr int fromhex = 73;         // hex_string = bytes.fromhex(string)
constexpr int hexlify_digest = 74;  // return binascii.hexlify(hex_string)
}  // namespace H

namespace mont_red {
constexpr int reduce = 81;  // return xx * mont_inv % q
}  // namespace mont_red

namespace mont_mul {
constexpr int product = 87;  // cc = aa * bb
constexpr int reduce = 89;   // return mont_red(cc)
}  // namespace mont_mul

namespace barrett_red {
constexpr int int_x = 93;        // xx = int(xx)
constexpr int quotient = 95;     // tem = (xx * bar_r) >> (2 * bar_k + 2)
constexpr int remainder = 97;    // tedd = xx - tem * q
constexpr int test_below = 99;   // if tedd < q: return tedd
constexpr int test_above = 101;  // if tedd >= q:
constexpr int subtract = 102;    // return tedd - q
}  // namespace barrett_red

namespace ntt3_mul {
constexpr int new_list = 134;     // new_vv = []
constexpr int pair_loop = 137;    // for ic in range(64)
constexpr int mul_even = 139;     // r0, r1 = ntt3_mul0(..., zetas[64 + ic])
constexpr int mul_odd = 140;      // r2, r3 = ntt3_mul0(..., -zetas[64 + ic])
constexpr int extend = 142;       // new_vv.extend([r0, r1, r2, r3])
constexpr int reduce_loop = 144;  // for ic in range(n)
constexpr int reduce = 146;       // new_vv[ic] = new_vv[ic] * 2285 % q
}  // namespace ntt3_mul

namespace ntt3_mul0 {
constexpr int r0_high = 154;   // r0 = a1 * b1 * 169 % q
constexpr int r0_zeta = 155;   // r0 = r0 * ze * 169 % q
constexpr int r0_add = 157;    // r0 += a0 * b0 * 169 % q
constexpr int r1_cross = 160;  // r1 = a0 * b1 * 169 % q
constexpr int r1_add = 161;    // r1 += a1 * b0 * 169 % q
constexpr int result = 164;    // return r0, r1
}  // namespace ntt3_mul0

namespace ntt3 {
constexpr int copy_zeros = 169;     // new_v = [0] * len(vvv)
constexpr int copy_loop = 170;      // for ic in range(len(vvv))
constexpr int copy_entry = 171;     // new_v[ic] = vvv[ic]
constexpr int layer_loop = 175;     // while l >= 2
constexpr int block_loop = 177;     // while ind < n
constexpr int zeta = 178;           // zeta = zetas[kd]
constexpr int next_zeta = 179;      // kd = kd + 1
constexpr int j_loop = 181;         // for j in range(ind, ind + l)
constexpr int butterfly_t = 182;    // t = zeta * new_v[j + l] * 169 % q
constexpr int butterfly_sub = 183;  // new_v[j + l] = new_v[j] - t
constexpr int butterfly_add = 184;  // new_v[j] = new_v[j] + t
constexpr int next_block = 185;     // ind = l + (j + 1)
constexpr int next_layer = 186;     // l = l >> 1
constexpr int reduce_loop = 188;    // for ic in range(len(vvv))
constexpr int reduce = 189;         // new_v[ic] = new_v[ic] % q
}  // namespace ntt3

namespace intt3 {
constexpr int copy_zeros = 195;     // new_v = [0] * len(vvv)
constexpr int copy_loop = 196;      // for ic in range(len(vvv))
constexpr int copy_entry = 197;     // new_v[ic] = vvv[ic]
constexpr int first_zeta = 200;     // kd = l_upper - 1
constexpr int layer_loop = 201;     // while l <= 128
constexpr int block_loop = 203;     // while ind < n
constexpr int zeta = 204;           // zeta = zetas[kd]
constexpr int next_zeta = 205;      // kd = kd - 1
constexpr int j_loop = 207;         // for j in range(ind, ind + l)
constexpr int butterfly_t = 208;    // t = new_v[j]
constexpr int butterfly_add = 209;  // new_v[j] = (t + new_v[j + l]) % q
constexpr int butterfly_sub = 210;  // new_v[j + l] = new_v[j + l] - t
constexpr int butterfly_mul = 211;  // new_v[j + l] = zeta * new_v[j + l] * 169 % q
constexpr int next_block = 212;     // ind = j + l + 1
constexpr int next_layer = 213;     // l = l << 1
constexpr int scale_loop = 215;     // for j in range(n)
constexpr int scale = 217;          // new_v[j] = new_v[j] * 3303 % q
}  // namespace intt3

namespace Genkey {
constexpr int check_n = 267;      // if n & (n - 1) != 0:
constexpr int raise_n = 268;      // raise ValueError("n值应为为2的幂次")
constexpr int check_q = 270;      // if q != k * n + 1:
constexpr int raise_q = 271;      // raise ValueError("q should be equal to k*n+1")
constexpr int prime_loop = 273;   // for ic in range(2, int(math.sqrt(q)) + 1)
constexpr int prime_gcd = 274;    // if math.gcd(q, ic) > 1:
constexpr int raise_prime = 275;  // raise ValueError("q should be prime")
constexpr int zeros_s = 277;      // s = np.zeros([kk, n])
constexpr int zeros_e = 278;      // e = np.zeros([kk, n])
constexpr int hash_seed = 280;    // rho, sigma = G(dd)
constexpr int make_a = 284;       // a = generate_mat_a(rho, kk)
constexpr int s_loop = 287;       // for ic in range(kk)
constexpr int s_prf = 288;        // input_bytes = PRF(sigma, bytes([N]), eta1)
constexpr int s_cbd = 289;        // s[ic, :] = CBD(input_bytes, eta1)
constexpr int s_nonce = 290;      // N = N + 1
constexpr int e_loop = 292;       // for ic in range(kk)
constexpr int e_sample = 293;     // e[ic, :] = CBD(PRF(sigma, bytes([N]), eta1), eta1) (eta1 too)
constexpr int e_nonce = 294;      // N = N + 1
constexpr int zeros_new_s = 297;  // new_s = np.zeros([kk, n])
constexpr int zeros_new_e = 298;  // new_e = np.zeros([kk, n])
constexpr int zeros_t = 299;      // t = np.zeros([kk, n])
constexpr int ntt_loop = 301;     // for ic in range(kk)
constexpr int ntt_s = 302;        // new_s[ic, :] = ntt3(s[ic, :])
constexpr int ntt_e = 303;        // new_e[ic, :] = ntt3(e[ic, :])
constexpr int zeros_vec = 306;    // vec = np.zeros([kk, kk, n])
constexpr int a_mul_rows = 307;   // for i in range(kk)
constexpr int a_mul_cols = 308;   // for j in range(kk)
constexpr int a_mul = 309;        // vec[i, j, :] = ntt3_mul(a[i, j, :], new_s[j, :])
constexpr int zeros_tem = 311;    // tem = np.zeros([kk, n])
constexpr int sum_rows = 312;     // for ic in range(kk)
constexpr int sum_coeffs = 313;   // for ii in range(n)
constexpr int sum_terms = 314;    // for j in range(kk)
constexpr int add_term = 315;     // tem[ic, ii] = tem[ic, ii] + vec[ic, j, ii]
constexpr int reduce_t = 318;     // t[ic, ii] = (tem[ic, ii] + new_e[ic, ii]) % q
constexpr int encode_t = 320;     // pk_cpa = encode([t], 12)
constexpr int pack_t = 321;       // pk_cpa = bits_to_bytes(pk_cpa)
constexpr int hexlify_pk = 323;   // pk_cpa = binascii.hexlify(pk_cpa + rho)
constexpr int encode_s = 325;     // sk_cpa = encode([new_s], 12)
constexpr int pack_s = 326;       // sk_cpa = bits_to_bytes(sk_cpa)
constexpr int hexlify_sk = 327;   // sk_cpa = binascii.hexlify(sk_cpa)
constexpr int result = 329;       // return [pk_cpa, sk_cpa]
}  // namespace Genkey

namespace Enc {
constexpr int unhex_coins = 334;      // rand = binascii.unhexlify(rand)
constexpr int message_bits = 335;     // ran1 = hex_to_bits(binascii.hexlify(ran_m))
constexpr int zeros_ran = 336;        // ran = [0] * n
constexpr int bit_loop = 338;         // for i in range(n)
constexpr int read_bit = 339;         // ran[i] = int(ran1[i])
constexpr int unhex_key = 341;        // pk_cpa = binascii.unhexlify(pk_cpa)
constexpr int split_t = 342;          // newt = pk_cpa[:-32]
constexpr int split_rho = 343;        // rho = pk_cpa[-32:]
constexpr int hexlify_t = 345;        // newt = binascii.hexlify(newt)
constexpr int bits_t = 346;           // newt = hex_to_bits(newt)
constexpr int decode_t = 347;         // newt = decode(newt, 12)
constexpr int scale_loop = 353;       // for i in range(n)
constexpr int scale_bit = 354;        // ran[i] = ran[i] * (int(q / 2) + 1)
constexpr int make_a = 356;           // newa = generate_mat_a(rho, kk)
constexpr int swap_rows = 357;        // for ii in range(kk)
constexpr int swap_cols = 358;        // for jj in range(ii + 1, kk)
constexpr int swap_coeffs = 359;      // for ll in range(n)
constexpr int swap_save = 360;        // tem = newa[jj, ii, ll]
constexpr int swap_copy = 361;        // newa[jj, ii, ll] = newa[ii, jj, ll]
constexpr int swap_restore = 362;     // newa[ii, jj, ll] = tem
constexpr int zeros_r = 366;          // rr = np.zeros([kk, n])
constexpr int zeros_e1 = 368;         // e1 = np.zeros([kk, n])
constexpr int r_loop = 369;           // for ic in range(kk)
constexpr int r_prf = 370;            // input_bytes = PRF(rand, bytes([N]), eta1)
constexpr int r_cbd = 371;            // rr[ic, :] = CBD(input_bytes, eta1)
constexpr int r_nonce = 372;          // N = N + 1
constexpr int e1_loop = 373;          // for ic in range(kk)
constexpr int e1_sample = 374;        // e1[ic, :] = CBD(PRF(rand, bytes([N]), eta2), eta2)
constexpr int e1_nonce = 375;         // N = N + 1
constexpr int e2_sample = 377;        // e2 = CBD(PRF(rand, bytes([N]), eta2), eta2)
constexpr int zeros_new_r = 379;      // new_r = np.zeros([kk, n])
constexpr int ntt_loop = 380;         // for i in range(kk)
constexpr int ntt_r = 381;            // new_r[i, :] = ntt3(rr[i, :])
constexpr int zeros_newu = 385;       // newu = np.zeros([kk, n])
constexpr int zeros_vec = 386;        // vec = np.zeros([kk, kk, n])
constexpr int a_mul_rows = 388;       // for i in range(kk)
constexpr int a_mul_cols = 389;       // for j in range(kk)
constexpr int a_mul = 390;            // vec[i, j, :] = ntt3_mul(newa[i, j, :], new_r[j, :])
constexpr int sum_rows = 392;         // for i in range(kk)
constexpr int sum_coeffs = 393;       // for c in range(n)
constexpr int sum_terms = 394;        // for j in range(kk)
constexpr int add_term = 395;         // newu[i, c] = newu[i, c] + vec[i, j, c]
constexpr int reduce_u = 396;         // newu[i, c] = newu[i, c] % q
constexpr int zeros_u = 398;          // u = np.zeros([kk, n])
constexpr int u_loop = 399;           // for i in range(kk)
constexpr int intt_u = 400;           // u[i, :] = intt3(newu[i, :])
constexpr int e1_coeffs = 401;        // for c in range(n)
constexpr int add_e1 = 402;           // u[i, c] = (u[i, c] + e1[i, c]) % q
constexpr int zeros_v = 405;          // v = [0] * n
constexpr int zeros_newv = 406;       // newv = [0] * n
constexpr int zeros_vec_t = 407;      // vec = np.zeros([kk, n]), in place of the kk x kk x n one
constexpr int t_mul_loop = 408;       // for i in range(kk)
constexpr int t_mul = 409;            // vec[i, :] = ntt3_mul(newt[i, :], new_r[i, :])
constexpr int v_sum_coeffs = 411;     // for c in range(n)
constexpr int v_sum_terms = 412;      // for kd in range(kk)
constexpr int v_add_term = 413;       // newv[c] = newv[c] + vec[kd, c]
constexpr int intt_v = 415;           // newv = intt3(newv)
constexpr int v_loop = 417;           // for c in range(n)
constexpr int add_e2 = 418;           // newv[c] = newv[c] + e2[c]
constexpr int add_message = 419;      // v[c] = (newv[c] + ran[c]) % q
constexpr int compress_rows = 422;    // for i in range(kk)
constexpr int compress_coeffs = 423;  // for c in range(n)
constexpr int compress_u = 424;       // u[i, c] = compress(u[i, c], du)
constexpr int compress_v_loop = 425;  // for c in range(n)
constexpr int compress_v = 426;       // v[c] = compress(v[c], dv)
constexpr int encode_u = 428;         // u_code = encode([u], du)
constexpr int pack_u = 429;           // u_code = bits_to_bytes(u_code)
constexpr int encode_v = 431;         // v_code = encode([[v]], dv)
constexpr int pack_v = 432;           // v_code = bits_to_bytes(v_code)
constexpr int hexlify_uv = 434;       // return binascii.hexlify(u_code + v_code)
}  // namespace Enc

namespace Dec {
constexpr int unhex_key = 442;      // sk_cpa = binascii.unhexlify(sk_cpa)
constexpr int hexlify_key = 443;    // sk_cpa = binascii.hexlify(sk_cpa)
constexpr int bits_key = 444;       // sk_cpa = hex_to_bits(sk_cpa)
constexpr int decode_key = 445;     // sk_cpa = decode(sk_cpa, 12)
constexpr int unhex_text = 447;     // uv_code = binascii.unhexlify(uv_code)
constexpr int hexlify_text = 448;   // uv_code = binascii.hexlify(uv_code)
constexpr int bits_u = 451;         // ud = hex_to_bits(uv_code)
constexpr int decode_u = 452;       // ud = decode(ud, du)
constexpr int split_v = 454;        // vd = uv_code[int(kk * n * du / 4):]
constexpr int bits_v = 456;         // vd = hex_to_bits(vd)
constexpr int decode_v = 458;       // v = decode(vd, dv)
constexpr int u_rows = 460;         // for ic in range(kk)
constexpr int u_coeffs = 461;       // for j in range(n)
constexpr int decompress_u = 462;   // ud[ic, j] = decompress(ud[ic, j], du)
constexpr int first_row_v = 464;    // v = v[0]
constexpr int v_loop = 465;         // for ic in range(n)
constexpr int decompress_v = 466;   // v[ic] = decompress(v[ic], dv)
constexpr int zeros_dem = 468;      // dem = [0] * n
constexpr int zeros_vv = 469;       // vv = [0] * n
constexpr int zeros_newu = 470;     // newu = np.zeros([kk, n])
constexpr int ntt_loop = 471;       // for ic in range(kk)
constexpr int ntt_u = 472;          // newu[ic, :] = ntt3(ud[ic, :])
constexpr int zeros_vec = 474;      // vec = np.zeros([kk, n])
constexpr int key_mul_loop = 475;   // for ic in range(kk)
constexpr int key_mul = 476;        // vec[ic, :] = ntt3_mul(sk_cpa[ic, :], newu[ic, :])
constexpr int sum_coeffs = 478;     // for ic in range(n)
constexpr int sum_terms = 479;      // for kd in range(kk)
constexpr int add_term = 480;       // vv[ic] = vv[ic] + vec[kd, ic]
constexpr int reduce_vv = 481;      // vv[ic] = vv[ic] % q
constexpr int intt_vv = 483;        // xx = intt3(vv)
constexpr int diff_loop = 485;      // for ic in range(n)
constexpr int diff = 486;           // dem[ic] = (v[ic] - xx[ic]) % q
constexpr int compress_loop = 488;  // for ic in range(n)
constexpr int compress_bit = 489;   // dem[ic] = compress(dem[ic], 1)
}  // namespace Dec

namespace XOF {
constexpr int index_bytes = 497;   // int_a, int_b = bytes([int_a]), bytes([int_b])
constexpr int join = 499;          // input_bytes = bytes32 + int_a + int_b
constexpr int check_length = 501;  // if len(input_bytes) != 34:
constexpr int raise_length = 502;  // raise ValueError("Length of input bytes ...")
constexpr int shake = 504;         // return shake_128(input_bytes).digest(3 * n)
}  // namespace XOF

namespace generate_mat_a {
constexpr int zeros = 509;     // mat_A = np.zeros([len_a, len_a, n])
constexpr int row_loop = 510;  // for j in range(len_a)
constexpr int col_loop = 511;  // for ic in range(len_a)
constexpr int xof = 512;       // tem = XOF(rho, ic, j)
constexpr int parse = 513;     // mat_A[j, ic, :] = Parse(tem)
}  // namespace generate_mat_a

namespace G {
constexpr int digest = 522;  // output = sha3_512(bytes32).digest()
constexpr int split = 525;   // return output[:32], output[32:]
}  // namespace G

namespace Parse {
constexpr int zeros = 533;     // coeff = [0] * n
constexpr int loop = 535;      // while jj < n
constexpr int d1 = 536;        // d1 = bytes96[ii] + 256 * (bytes96[ii + 1] % 16)
constexpr int d2 = 537;        // d2 = bytes96[ii + 1] // 16 + 16 * bytes96[ii + 2]
constexpr int test_d1 = 539;   // if d1 < q:
constexpr int store_d1 = 540;  // coeff[jj] = d1
constexpr int count_d1 = 541;  // jj = jj + 1
constexpr int test_d2 = 543;   // if d2 < q and jj < n:
constexpr int store_d2 = 544;  // coeff[jj] = d2
constexpr int count_d2 = 545;  // jj = jj + 1
constexpr int advance = 547;   // ii = ii + 3
}  // namespace Parse

namespace encode {
constexpr int row_loop = 558;    // for ii in range(len(fff[0]))
constexpr int coeff_loop = 559;  // for jj in range(n)
constexpr int append = 560;      // fff_bytes = fff_bytes + format(int(fff[0][ii][jj]), ...)[::-1]
}  // namespace encode

namespace decode {
constexpr int count = 568;       // ind = int(len(fff_bits) / (l * 256))
constexpr int chars = 570;       // rr = list(fff_bits)
constexpr int zeros = 572;       // coeff = np.zeros([ind, n])
constexpr int row_loop = 574;    // for hh in range(ind)
constexpr int coeff_loop = 575;  // for ii in range(n)
constexpr int bit_loop = 576;    // for jj in range(l)
constexpr int add_bit = 577;     // coeff[hh, ii] = coeff[hh, ii] + int(rr[...]) * 2 ** jj
}  // namespace decode

namespace hex_to_bits {
constexpr int decode_bytes = 584;  // hex_str = hex_str.decode("utf-8") for bytes
constexpr int pairs = 585;         // hex_pairs = the two-digit slices of hex_str
constexpr int parse_pair = 589;    // byte = int(hex_pair, 16)
constexpr int format_byte = 590;   // tem = format(byte, "08b")
constexpr int append = 591;        // bit_str = bit_str + tem[::-1]
}  // namespace hex_to_bits

namespace bits_to_bytes {
constexpr int count = 599;        // ind = int(len(ss) / 8)
constexpr int empty = 600;        // byte32 = b""
constexpr int loop = 602;         // for ii in range(ind)
constexpr int parse_group = 604;  // tem = int(ss[ii * 8:(ii + 1) * 8][::-1], 2)
constexpr int append = 606;       // byte32 = byte32 + bytes([tem])
}  // namespace bits_to_bytes

namespace kdf {
constexpr int shake = 614;  // return shake_256(in_str).digest(length)
}  // namespace kdf

namespace CCA_KeyGen {
constexpr int draw_seed = 652;   // dd = random.randbytes(32)
constexpr int genkey = 654;      // cca_pk, sk2 = Genkey(dd)
constexpr int hash_pk = 656;     // H_cca_pk = H(cca_pk)
constexpr int draw_z = 658;      // z = random.randbytes(32)
constexpr int hexlify_z = 659;   // z = binascii.hexlify(z)
constexpr int unhex_sk = 661;    // cca_sk = binascii.unhexlify(sk2 + cca_pk + H_cca_pk + z)
constexpr int hexlify_sk = 662;  // cca_sk = binascii.hexlify(cca_sk)
constexpr int result = 664;      // return cca_pk, cca_sk
}  // namespace CCA_KeyGen

namespace CCA_Enc {
constexpr int hash_message = 668;   // m_hash = binascii.unhexlify(H(binascii.hexlify(m_unhex)))
constexpr int derive = 670;         // K_bar, rand = G(m_hash + binascii.unhexlify(H(cca_pk)))
constexpr int hexlify_coins = 672;  // rand = binascii.hexlify(rand)
constexpr int encrypt = 674;        // c_text = Enc(cca_pk, m_hash, rand)
constexpr int shared_key = 676;     // K_key = kdf(K_bar + binascii.unhexlify(H(c_text)), 32)
constexpr int result = 678;         // return c_text, K_key
}  // namespace CCA_Enc

namespace CCA_Dec {
constexpr int slice_sk = 683;       // cpa_sk = cca_sk[0:3 * kk * n]
constexpr int slice_pk = 684;       // cpa_pk = cca_sk[3 * kk * n:6 * kk * n + 64]
constexpr int slice_hash = 685;     // H_cca_pk = cca_sk[6 * kk * n + 64:6 * kk * n + 128]
constexpr int slice_z = 686;        // z = cca_sk[6 * kk * n + 128:]
constexpr int decrypt = 688;        // m2 = Dec(c_text, cpa_sk)
constexpr int join_bits = 689;      // new_m2 = "".join([str(i) for i in m2])
constexpr int pack_message = 691;   // m2 = bits_to_bytes(new_m2)
constexpr int derive = 693;         // K_bar, rand = G(m2 + binascii.unhexlify(H_cca_pk))
constexpr int hexlify_coins = 694;  // rand = binascii.hexlify(rand)
constexpr int reencrypt = 696;      // c2 = Enc(cpa_pk, m2, rand).decode("utf-8")
constexpr int test_text = 697;      // if not isinstance(c_text, str):
constexpr int decode_text = 698;    // c_text = c_text.decode("utf-8")
constexpr int compare = 700;        // if c2 == c_text:
constexpr int shared_key = 701;     // return kdf(K_bar + binascii.unhexlify(H(c_text)), 32)
constexpr int print_reject = 704;   // print("错了")
constexpr int reject_key = 705;     // return kdf(unhexlify(z) + unhexlify(H(c_text)), 32)
}  // namespace CCA_Dec

namespace init {
constexpr int import_math = 1;      // import math
constexpr int import_random = 2;    // import random
constexpr int import_binascii = 3;  // import binascii
constexpr int import_numpy = 4;     // import numpy as np
constexpr int import_hashlib = 5;   // import hashlib
constexpr int from_hashlib = 6;     // from hashlib import sha3_256, sha3_512, shake_128, shake_256
constexpr int set_q = 9;            // q = 3329
constexpr int set_n = 11;           // n = 256
constexpr int set_k = 13;           // k = 13
constexpr int set_eta = 15;         // eta1, eta2 = 3, 2
constexpr int set_kk = 19;          // kk = 2
constexpr int set_bar_k = 22;       // bar_k = 12
constexpr int set_bar_r = 24;       // bar_r = 20158
constexpr int set_ted = 26;         // ted = int(q / 2)
constexpr int set_d = 28;           // du, dv = 10, 4
constexpr int set_tree = 619;       // tree = [...]
constexpr int set_mont = 627;       // mont = 2285
constexpr int set_mont_inv = 630;   // mont_inv = 169
constexpr int set_zetas = 633;      // zetas = [...]
constexpr int set_zetas_inv = 642;  // zetas_inv = [...]
constexpr int test_main = 708;      // if __name__ == "__main__":
constexpr int demo_keygen = 710;    // cca_pk1, cca_sk1 = CCA_KeyGen()
constexpr int print_pk = 711;       // print("cca_pk:", cca_pk1)
constexpr int print_sk = 712;       // print("cca_sk:", cca_sk1)
constexpr int draw_message = 713;   // new_m = random.randbytes(32)
constexpr int demo_enc = 715;       // Cipher, scr_key = CCA_Enc(cca_pk1, new_m)
constexpr int print_cipher = 716;   // print("Cipher:", Cipher)
constexpr int print_k1 = 717;       // print("K1:", scr_key)
constexpr int demo_dec = 718;       // new_k = CCA_Dec(Cipher, cca_sk1)
constexpr int print_k2 = 719;       // print("K2:", new_k)
}  // namespace init

}  // namespace line
}  // namespace latkem
