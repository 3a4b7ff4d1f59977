#include "core/render/track_records.hpp"

namespace sonaloc {

void check_track_ends(const IndexVector& ends) {
    for (std::size_t t = 0; t < ends.size(0); ++t)
        if (ends(t) < 0) throw ValueError("track_end_indices must not contain negative values");
}

}  // namespace sonaloc
