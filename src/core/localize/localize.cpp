#include "core/localize/localize.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <cstring>
#include <string>

#include "core/coordinates.hpp"
#include "core/errors.hpp"
#include "core/localize/gaussian_fitting2d.hpp"
#include "core/localize/lanes2d.hpp"
#include "core/runtime/interrupt.hpp"
#include "core/runtime/parallel.hpp"
#include "core/localize/radial_symmetry2d.hpp"

namespace sonaloc {

namespace {

// Working memory of one `localize` call, sized once for its window size.
// The window is kept with a one-pixel frame of -infinity around it: a frame
// pixel is never greater than, nor equal to, a window value above 0, so the
// regional-maximum search needs no bounds tests, and the localizers read the
// window through a strided view that skips the frame.
struct Scratch {
    std::size_t w;                      // window side
    std::size_t stride;                 // w + 2, the framed row length
    std::vector<float> framed;          // (w + 2) x (w + 2), row-major
    std::vector<std::uint8_t> flooded;  // pixel already part of a flooded plateau
    std::vector<std::size_t> plateau;   // flood work list (framed indices)
    std::array<std::ptrdiff_t, 8> neighbours;

    explicit Scratch(std::size_t w_)
        : w(w_), stride(w_ + 2),
          framed(stride * stride, -std::numeric_limits<float>::infinity()),
          flooded(stride * stride) {
        const auto s = static_cast<std::ptrdiff_t>(stride);
        neighbours = {-s - 1, -s, -s + 1, -1, 1, s - 1, s, s + 1};
    }
    float* origin() { return framed.data() + stride + 1; }
    const float* origin() const { return framed.data() + stride + 1; }
    // The w x w window as a read-only view.
    Matrix view() const {
        Matrix m;
        m.data = reinterpret_cast<const std::byte*>(origin());
        m.shape = {w, w};
        m.strides = {static_cast<std::ptrdiff_t>(stride * sizeof(float)),
                     static_cast<std::ptrdiff_t>(sizeof(float))};
        return m;
    }
};

// Window row a, column e holds image (r0 + a, c0 + e). The caller has proven
// the window inside the image.
void copy_window(const Matrix& image, std::size_t r0, std::size_t c0, Scratch& s) {
    const std::ptrdiff_t rs = image.strides[0];
    const std::ptrdiff_t cs = image.strides[1];
    const std::byte* src =
        image.data + static_cast<std::ptrdiff_t>(r0) * rs + static_cast<std::ptrdiff_t>(c0) * cs;
    float* out = s.origin();
    for (std::size_t a = 0; a < s.w; ++a, src += rs, out += s.stride)
        for (std::size_t e = 0; e < s.w; ++e)
            std::memcpy(out + e, src + static_cast<std::ptrdiff_t>(e) * cs, sizeof(float));
}

void prefetch_window(const Matrix& image, const Peak2D& p, std::size_t h) {
    const std::ptrdiff_t rs = image.strides[0];
    const std::ptrdiff_t cs = image.strides[1];
    const std::byte* src = image.data + static_cast<std::ptrdiff_t>(p.row - h) * rs +
                           static_cast<std::ptrdiff_t>(p.col - h) * cs;
    const std::ptrdiff_t last = static_cast<std::ptrdiff_t>(2 * h) * cs;
    for (std::size_t a = 0; a <= 2 * h; ++a, src += rs) {
        __builtin_prefetch(src);
        __builtin_prefetch(src + last);
    }
}

// Number of window pixels above 0 that belong to an 8-connected plateau
// without a greater neighbour inside the window (a plateau counts once per
// pixel). Only pixels above 0 can count, and every pixel of a plateau has the
// same value, so plateaus at or below 0 (and NaN pixels, which form plateaus
// of their own) are never looked at. Stops as soon as the count exceeds
// `limit`: the caller only compares it with that.
std::size_t count_regional_maxima(Scratch& s, std::size_t limit) {
    const float* v = s.framed.data();
    std::uint8_t* flooded = s.flooded.data();
    std::memset(flooded, 0, s.flooded.size());
    std::size_t count = 0;
    for (std::size_t a = 1; a <= s.w; ++a) {
        for (std::size_t p = a * s.stride + 1; p <= a * s.stride + s.w; ++p) {
            const float z = v[p];
            if (!(z > 0.0f) || flooded[p]) continue;
            // Quick look at the 3 x 3 neighbourhood first: a greater neighbour
            // rules the pixel out, no equal neighbour makes it a plateau of one.
            bool greater = false, equal = false;
            for (const std::ptrdiff_t d : s.neighbours) {
                greater |= v[p + d] > z;
                equal |= v[p + d] == z;
            }
            // Not marked: a plateau reaching this pixel must still look past it.
            if (greater) continue;
            flooded[p] = 1;
            if (!equal) {
                if (++count > limit) return count;
                continue;
            }
            // Flood the plateau; its pixels are settled together.
            s.plateau.clear();
            s.plateau.push_back(p);
            bool maximum = true;
            for (std::size_t k = 0; k < s.plateau.size(); ++k) {
                const std::size_t q = s.plateau[k];
                for (const std::ptrdiff_t d : s.neighbours) {
                    const std::size_t n = q + static_cast<std::size_t>(d);
                    const float u = v[n];
                    if (u > z) {
                        maximum = false;
                    } else if (u == z && !flooded[n]) {
                        flooded[n] = 1;
                        s.plateau.push_back(n);
                    }
                }
            }
            if (maximum) {
                count += s.plateau.size();
                if (count > limit) return count;
            }
        }
    }
    return count;
}

// Intensity-weighted centroid of a w x w window, pixel (a, e) at
// v[a * rs + e * cs], as an offset from its centre; (0, 0) when the values
// sum to exactly 0.
std::pair<float, float> window_centroid(const float* v, std::size_t rs, std::size_t cs, std::size_t w) {
    float sum = 0.0f, sum_a = 0.0f, sum_e = 0.0f;
    for (std::size_t a = 0; a < w; ++a)
        for (std::size_t e = 0; e < w; ++e) {
            const float x = v[a * rs + e * cs];
            sum += x;
            sum_a += x * static_cast<float>(a);
            sum_e += x * static_cast<float>(e);
        }
    if (sum == 0.0f) return {0.0f, 0.0f};
    const float h = static_cast<float>(w / 2);
    return {sum_a / sum - h, sum_e / sum - h};
}

std::optional<std::pair<float, float>> run_localizer(LocalizationMethod method, const Matrix& w,
                                                     RadialSymmetryScratch& radial) {
    switch (method) {
        case LocalizationMethod::RadialSymmetry:
            return localize_radial_symmetry(w, radial);
        case LocalizationMethod::GaussianFitting:
            return localize_gaussian_fitting(w);
    }
    fault("unknown localization method");
}

}  // namespace

namespace {

// What one peak's window gives, before the cap is applied.
struct Outcome {
    enum Kind : std::uint8_t { Dropped, PixelPosition, Refined } kind = Dropped;
    float x = 0.0f, y = 0.0f;
};

// Windows waiting to be worked on in lanes, in the framed layout of
// lanes2d.hpp (the frame stays -infinity; only the interiors are written).
// A window is recorded by its corner and copied in with the whole batch.
struct LaneBatch {
    std::size_t lanes, w, rs;
    std::ptrdiff_t row_stride, col_stride;
    std::vector<float> framed;
    std::vector<float> work;                 // the localizer's working lanes
    std::vector<std::size_t> slot;           // the outcome slot of every used lane
    std::vector<const std::byte*> corner;    // image pixel (0, 0) of every used lane's window

    LaneBatch(std::size_t lanes_, std::size_t w_, LocalizationMethod method, const Matrix& image)
        : lanes(lanes_), w(w_), rs(w_ + 2), row_stride(image.strides[0]), col_stride(image.strides[1]),
          framed(rs * rs * lanes_, -std::numeric_limits<float>::infinity()),
          work(window_lanes_work(method, w_, lanes_)) {
        slot.reserve(lanes_);
        corner.reserve(lanes_);
    }
    bool full() const { return slot.size() == lanes; }
    float* pixel(std::size_t a, std::size_t e, std::size_t lane) {
        return framed.data() + ((a + 1) * rs + e + 1) * lanes + lane;
    }
    // Window row a, column e holds image (r0 + a, c0 + e); inside the image.
    void add(std::size_t i, const Matrix& image, std::size_t r0, std::size_t c0) {
        corner.push_back(image.data + static_cast<std::ptrdiff_t>(r0) * row_stride +
                         static_cast<std::ptrdiff_t>(c0) * col_stride);
        slot.push_back(i);
    }
    // Copies the recorded windows in; unused lanes repeat lane 0, so that
    // every lane computes on real data.
    void fill() {
        while (corner.size() < lanes) corner.push_back(corner[0]);
        if (col_stride == static_cast<std::ptrdiff_t>(sizeof(float))) {
            pack_windows_lanes(corner.data(), row_stride, w, framed.data());
        } else {
            for (std::size_t lane = 0; lane < lanes; ++lane) {
                const std::byte* src = corner[lane];
                for (std::size_t a = 0; a < w; ++a, src += row_stride) {
                    float* out = pixel(a, 0, lane);
                    for (std::size_t e = 0; e < w; ++e, out += lanes)
                        std::memcpy(out, src + static_cast<std::ptrdiff_t>(e) * col_stride, sizeof(float));
                }
            }
        }
        corner.clear();
    }
    // Lane k's window into the scalar scratch (for the plateau flood).
    void unpack(std::size_t lane, Scratch& s) {
        float* out = s.origin();
        for (std::size_t a = 0; a < w; ++a)
            for (std::size_t e = 0; e < w; ++e) out[a * s.stride + e] = *pixel(a, e, lane);
    }
};

struct WindowJob {
    const Matrix& image;
    const std::vector<Peak2D>& peaks;
    std::size_t w, h, n_rows, n_cols, max_local_maxima;
    LocalizationMethod method;
    float sx, sy, bound;
    Extent2D ext;

    bool inside(const Peak2D& p) const {
        return h <= p.row && p.row + h < n_rows && h <= p.col && p.col + h < n_cols;
    }

    // Whether peak k's window lies inside the image. Peaks come in intensity
    // order, scattered over the image: the next window's rows are asked for
    // while this one is worked on.
    bool begin_window(std::size_t k) const {
        if (!inside(peaks[k])) return false;
        if (k + 1 < peaks.size() && inside(peaks[k + 1])) prefetch_window(image, peaks[k + 1], h);
        return true;
    }

    // Copies peak k's window into s and settles it unless it is to be
    // localized: dropped (window outside), or kept at its pixel position
    // (several maxima). True when the localizer is to run on s.
    bool prepare(std::size_t k, Scratch& s, Outcome& out) const {
        const Peak2D& peak = peaks[k];
        const std::size_t r = peak.row, c = peak.col;
        out = {};
        if (!begin_window(k)) return false;
        copy_window(image, r - h, c - h, s);
        if (count_regional_maxima(s, max_local_maxima) > max_local_maxima) {
            // Several maxima in the window: keep the pixel position.
            out = pixel_position(k);
            return false;
        }
        return true;
    }

    // The outcome of peak k from its localizer's offset (nothing: dropped);
    // `window` is its w x w window, pixel (a, e) at window[a * rs + e * cs].
    Outcome refined(std::size_t k, std::optional<std::pair<float, float>> offset, const float* window,
                    std::size_t rs, std::size_t cs) const {
        if (!offset) return {};
        // A NaN offset is not beyond the bound and passes through.
        std::pair<float, float> d = *offset;
        if (std::fabs(d.first) > bound || std::fabs(d.second) > bound) d = window_centroid(window, rs, cs, w);
        const Peak2D& peak = peaks[k];
        return {Outcome::Refined, local_coordinate(peak.row, d.first, sx, ext.x_first),
                local_coordinate(peak.col, d.second, sy, ext.y_first)};
    }

    Outcome pixel_position(std::size_t k) const {
        const Peak2D& peak = peaks[k];
        return {Outcome::PixelPosition, local_coordinate(peak.row, 0.0f, sx, ext.x_first),
                local_coordinate(peak.col, 0.0f, sy, ext.y_first)};
    }

    Outcome run(std::size_t k, Scratch& s, RadialSymmetryScratch& radial) const {
        Outcome out;
        if (!prepare(k, s, out)) return out;
        return refined(k, run_localizer(method, s.view(), radial), s.origin(), s.stride, 1);
    }

    // Counts the maxima of the batch's windows and localizes them in lanes,
    // settling their peaks: slot i is outcomes[i], peak begin + i. `s` is
    // scratch for the windows whose plateaus need the scalar flood.
    void finish(LaneBatch& b, std::size_t begin, Outcome* outcomes, Scratch& s) const {
        if (b.slot.empty()) return;
        b.fill();
        float counts[16], x0[16], y0[16];
        const unsigned plateaus = count_maxima_lanes(b.framed.data(), w, counts);
        const unsigned ok = localize_lanes(method, b.framed.data(), w, b.work.data(), x0, y0);
        for (std::size_t lane = 0; lane < b.slot.size(); ++lane) {
            const std::size_t i = b.slot[lane];
            std::size_t maxima = static_cast<std::size_t>(counts[lane]);
            if (plateaus >> lane & 1u) {
                b.unpack(lane, s);
                maxima = count_regional_maxima(s, max_local_maxima);
            }
            if (maxima > max_local_maxima) {
                // Several maxima in the window: keep the pixel position.
                outcomes[i] = pixel_position(begin + i);
                continue;
            }
            std::optional<std::pair<float, float>> offset;
            if (ok >> lane & 1u) offset = std::pair{x0[lane], y0[lane]};
            outcomes[i] = refined(begin + i, offset, b.pixel(0, 0, lane), b.rs * b.lanes, b.lanes);
        }
        b.slot.clear();
    }
};

}  // namespace

std::vector<Peak2D> localize(const Matrix& image, const std::vector<Peak2D>& peaks,
                             std::uint64_t window_size, const ImageGrid& grid,
                             std::size_t max_local_maxima, LocalizationMethod method,
                             std::optional<std::uint64_t> max_num_peaks) {
    const std::size_t n_rows = grid.n_rows, n_cols = grid.n_cols;
    // Before anything is allocated: a window larger than the image fits nowhere.
    if (peaks.empty() || n_rows < window_size || n_cols < window_size) return {};
    if (image.shape[0] != n_rows || image.shape[1] != n_cols) fault(kIndexFault);
    if (window_size < 3 || window_size % 2 == 0) fault("localize: window size must be odd and >= 3");

    const std::size_t w = window_size;  // at most the image side now
    const Extent2D& ext = grid.extent;
    const WindowJob job{image, peaks, w, w / 2, n_rows, n_cols, max_local_maxima, method,
                        integer_spacing(ext.x_first, ext.x_last, n_rows),
                        integer_spacing(ext.y_first, ext.y_last, n_cols),
                        static_cast<float>(w) * 0.5f, ext};

    // Windows are independent: they are worked on in parallel, block by block,
    // and their outcomes are taken in peak order, so the cap stops at the same
    // entry as a sequential scan would. Blocks start small when a cap may end
    // the scan early.
    // The localizers run one window per lane where the CPU has lanes.
    const std::size_t lanes = window_lanes(method);
    std::vector<Peak2D> out;
    std::vector<Outcome> outcomes;
    constexpr std::size_t kGrain = 64;
    std::size_t block = max_num_peaks ? std::clamp<std::uint64_t>(*max_num_peaks, kGrain, 4096) : 4096;
    for (std::size_t begin = 0; begin < peaks.size(); begin += block, block *= 2) {
        const std::size_t end = std::min(peaks.size(), begin + block);
        outcomes.assign(end - begin, Outcome{});
        parallel::for_range(end - begin, kGrain, [&](std::size_t b, std::size_t e) {
            Scratch s(w);
            if (lanes == 0) {
                RadialSymmetryScratch radial;
                for (std::size_t i = b; i < e; ++i) {
                    interrupt::check_every(i, 64);
                    outcomes[i] = job.run(begin + i, s, radial);
                }
                return;
            }
            // Windows to localize gather in a batch, a full batch at a time.
            LaneBatch batch(lanes, w, method, image);
            for (std::size_t i = b; i < e; ++i) {
                interrupt::check_every(i, 64);
                const std::size_t k = begin + i;
                const Peak2D& peak = peaks[k];
                if (!job.begin_window(k)) continue;  // dropped
                batch.add(i, image, peak.row - job.h, peak.col - job.h);
                if (batch.full()) job.finish(batch, begin, outcomes.data(), s);
            }
            job.finish(batch, begin, outcomes.data(), s);
        });
        for (std::size_t i = 0; i < outcomes.size(); ++i) {
            const Outcome& o = outcomes[i];
            if (o.kind == Outcome::Dropped) continue;
            Peak2D entry = peaks[begin + i];
            entry.x = o.x;
            entry.y = o.y;
            out.push_back(entry);
            // Only a refined entry ends the scan; a pixel-position entry counts.
            if (o.kind == Outcome::Refined && max_num_peaks && out.size() >= *max_num_peaks) return out;
        }
    }
    return out;
}

}  // namespace sonaloc
