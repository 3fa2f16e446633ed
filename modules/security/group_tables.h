// Constant tables of the group encryption kernels (AVX2, NEON), which take
// eight bytes a step.  Nothing here depends on an instruction set.
//
// Encryption's positions depend on the input alone.  Within a group, byte
// i's position relative to the group's starting index is the XOR of the low
// three bits of bytes 0..i-1, so a group's bookkeeping depends only on its
// own bytes.  The kernels hold the vector in the group's frame (working
// entry r is v[r ^ k], k the index at the group's start) and form
// S = the eight working entries followed by the group's eight input bytes.
// Each group gets sixteen codes into S:
//   codes 0..7   byte i's output is p_i ^ S[code]: the last earlier byte of
//                the group at the same position (8 + j), or else that
//                position's working entry;
//   codes 8..15  the next group's working entry r is S[code]: the last
//                byte of the group at that position, or the entry itself,
//                with the frame moved by the XOR of the group's low bits.
// A byte shuffle of S by the codes then yields every output's partner and
// the next working vector at once.
//
// The codes come from two tables of 512 16-byte entries (8 KiB each, so
// both stay in the first-level cache), indexed by the low bits of
// three bytes (bytes 0..2, which fix the positions of bytes 0..3; and bytes
// 4..6, which fix those of bytes 4..7 relative to byte 4), combined with a
// few shuffles by the frame shifts x4 (XOR of the low bits of bytes 0..3),
// x4' (of bytes 4..7) and x8 = x4 ^ x4'.  The values are chosen so that an
// unsigned byte maximum merges the halves: a hit in the second half (12..15)
// beats anything the first half says (at most 11), and "no hit" is 0.
#ifndef KOVRIN_CPROTECTION_GROUP_TABLES_H
#define KOVRIN_CPROTECTION_GROUP_TABLES_H

namespace cprotection {

struct GroupTables {
    // Indexed by l0 | l1 << 3 | l2 << 6, where r_0..r_3 are 0, l0, l0^l1,
    // l0^l1^l2:
    //   bytes 0..7    for each position q relative to the group's start,
    //                 8 + the last j in 0..3 with r_j == q, or else q;
    //   bytes 8..11   the output codes of bytes 0..3;
    //   bytes 12..15  zero.
    alignas(16) unsigned char first_half[512][16];
    // Indexed by l4 | l5 << 3 | l6 << 6, with s_4..s_7 the positions of
    // bytes 4..7 relative to byte 4's:
    //   bytes 0..3    12 + the last earlier j in 4..7 with s_j == s_i, or 0,
    //                 for bytes i = 4..7;
    //   bytes 4..7    s_4..s_7;
    //   bytes 8..15   for each q relative to byte 4's position, 12 + the
    //                 last j in 4..7 with s_j == q, or 0.
    alignas(16) unsigned char second_half[512][16];
};

constexpr GroupTables build_group_tables()
{
    GroupTables tables{};
    for (int low = 0; low < 512; ++low) {
        int position[4] = {0, low & 7, 0, 0};
        position[2] = position[1] ^ ((low >> 3) & 7);
        position[3] = position[2] ^ (low >> 6);

        unsigned char *first = tables.first_half[low];
        unsigned char *second = tables.second_half[low];
        for (int q = 0; q < 8; ++q) {
            first[q] = static_cast<unsigned char>(q);
            second[8 + q] = 0;
        }
        for (int i = 0; i < 4; ++i) {
            first[8 + i] = static_cast<unsigned char>(position[i]);
            second[i] = 0;
            for (int j = 0; j < i; ++j) {
                if (position[j] == position[i]) {
                    first[8 + i] = static_cast<unsigned char>(8 + j);
                    second[i] = static_cast<unsigned char>(12 + j);
                }
            }
            first[position[i]] = static_cast<unsigned char>(8 + i);
            second[4 + i] = static_cast<unsigned char>(position[i]);
            second[8 + position[i]] = static_cast<unsigned char>(12 + i);
        }
    }
    return tables;
}

}  // namespace cprotection

#endif  // KOVRIN_CPROTECTION_GROUP_TABLES_H
