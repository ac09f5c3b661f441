#include "block/container.hpp"

namespace kerrow {

final_block make_final_block(word* b, word t, word r, word padding) noexcept {
    const final_block shape = final_block_for(t, r);
    if (r != 0) b[t] &= (word{1} << (8 * r)) - 1;
    if (shape.padding_word) b[1] = padding;
    return shape;
}

}  // namespace kerrow
