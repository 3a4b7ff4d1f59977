"""Track linking in 2D and 3D: gates, assignment, gap precedence, export."""
import itertools

import numpy as np
import pytest
from scipy.optimize import linear_sum_assignment

import sonaloc
from references import dense_matrix, reference_link

f32 = np.float32


def frame(*rows, cols=3):
    return np.array(rows, f32).reshape(-1, cols)


def empty(cols=3):
    return np.zeros((0, cols), f32)


def link(frames, max_distance=1.0, max_skip=0, ratio=2.0):
    m, ends = sonaloc.rs_link_points(frames, max_distance, max_skip, ratio)
    assert m.dtype == f32 and m.ndim == 2 and m.shape[1] == 3 and m.flags.c_contiguous
    assert ends.dtype == np.uint32 and ends.ndim == 1
    return m, ends


def link3d(frames, max_distance=1.0, max_skip=0):
    m, ends = sonaloc.rs_link_points_3d(frames, max_distance, max_skip)
    assert m.dtype == f32 and m.shape[1] == 4 and ends.dtype == np.uint32
    return m, ends


def tracks(m, ends):
    starts = np.concatenate([[0], ends[:-1]]).astype(int)
    return [m[s:e] for s, e in zip(starts, ends.astype(int))]


def xs(m, ends):
    return [list(t[:, 0]) for t in tracks(m, ends)]


def assert_no_tracks(result, cols=3):
    m, ends = result
    assert m.shape == (0, cols) and ends.shape == (0,)


# ---------------------------------------------------------------- tracks and gaps

class TestTracks:
    def test_chain_and_gap_precedence(self):
        frames = [frame([0, 0, 1]), frame([0.4, 0, 1]), frame([0.8, 0, 1])]
        for skip in (0, 1, 2**64 - 1):
            m, ends = link(frames, 1.0, skip)
            assert ends.tolist() == [3]
            assert m[:, 0].tolist() == [f32(0), f32(0.4), f32(0.8)]

    def test_missing_frame_needs_skip(self):
        frames = [frame([0, 0, 1]), empty(2), frame([0.8, 0, 1])]
        assert_no_tracks(link(frames, 1.0, 0))
        assert xs(*link(frames, 1.0, 1)) == [[0, f32(0.8)]]

    def test_gap_one_link_is_never_relinked_by_a_closer_gap_two(self):
        # A (frame 0) links to B (frame 1, 0.9 away) at gap 1; C in frame 2 sits
        # on top of A but A already has a successor, and B continues to C.
        frames = [frame([0, 0, 1]), frame([0.9, 0, 1]), frame([0.05, 0, 1])]
        assert xs(*link(frames, 1.0, 1)) == [[0, f32(0.9), f32(0.05)]]
        # Without B, the gap-2 link A -> C is taken.
        frames[1] = empty()
        assert xs(*link(frames, 1.0, 1)) == [[0, f32(0.05)]]

    def test_skipped_link_fills_a_hole_left_by_gap_one(self):
        # Frame 1 has one point that two tracks compete for; the loser continues
        # over the gap into frame 2.
        frames = [frame([0, 0, 1], [10, 0, 1]), frame([0.1, 0, 1]), frame([0.2, 0, 1], [10.2, 0, 1])]
        assert xs(*link(frames, 1.0, 1)) == [[0, f32(0.1), f32(0.2)], [10, f32(10.2)]]

    def test_track_order_and_unlinked_points(self):
        # Tracks starting in frame 0 come first, by row, whatever their lengths;
        # points linked to nothing are absent.
        frames = [
            frame([50, 50, 1], [20, 0, 1], [100, 100, 1]),
            frame([50.5, 50, 1], [20.5, 0, 1], [0, 0, 1]),
            frame([0.5, 0, 1]),
            frame([1, 0, 1]),
        ]
        m, ends = link(frames, 1.0, 0)
        assert xs(m, ends) == [[50, 50.5], [20, 20.5], [0, 0.5, 1]]
        assert ends.tolist() == [2, 4, 7] and m.shape == (7, 3)

    def test_values_returned_bit_for_bit(self):
        nan_payload = np.array([0x7FC12345], np.uint32).view(f32)[0]
        frames = [frame([-0.0, 1e-40, nan_payload]), frame([0.5, 0.25, 7.0])]
        m, ends = link(frames, 1.0, 0, 2.0)  # a NaN intensity rejects nothing
        expected = np.concatenate(frames)
        assert ends.tolist() == [2]
        assert m.view(np.uint32).tolist() == expected.view(np.uint32).tolist()

    def test_layouts_and_extra_columns(self):
        base = np.array([[0, 0, 1, 9, 9], [5, 5, 1, 9, 9]], f32)
        later = base + f32(0.25)
        expected = link([base[:, :3].copy(), later[:, :3].copy()])
        assert np.array_equal(link([base, later])[0], expected[0])
        flipped = [np.asfortranarray(base[::-1])[::-1], later.T.copy().T]
        m, ends = link(flipped)
        assert np.array_equal(m, expected[0]) and np.array_equal(ends, expected[1])
        assert link(tuple(flipped))[1].tolist() == expected[1].tolist()


# ---------------------------------------------------------------- gates

class TestGates:
    def test_distance_gate(self):
        for d, linked in ((0.999, True), (1.0, True), (1.001, False)):
            m, _ = link([frame([0, 0, 1]), frame([0, d, 1])], 1.0)
            assert (m.shape[0] == 2) is linked

    def test_pairs_two_grid_cells_apart_are_not_candidates(self):
        # 2.0 - 0.99999994 rounds to exactly 1.0, so the distance gate passes,
        # but the points lie in cells 0 and 2 of the unit grid.
        assert_no_tracks(link([frame([f32(0.99999994), 0, 1]), frame([2.0, 0, 1])], 1.0))
        assert link([frame([1.0, 0, 1]), frame([2.0, 0, 1])], 1.0)[1].tolist() == [2]

    def test_nan_coordinates_never_link(self):
        nan = np.nan
        for a, b in (([nan, 0, 1], [0, 0, 1]), ([0, 0, 1], [0, nan, 1]), ([nan, nan, 1], [nan, nan, 1])):
            assert_no_tracks(link([frame(a), frame(b)], np.inf))
        m, _ = link3d([frame([0, 0, np.nan, 1], cols=4), frame([0, 0, 0, 1], cols=4)], 5.0)
        assert m.shape == (0, 4)

    def test_negative_coordinates_share_cell_zero(self):
        # All four points fall in cell 0 on x; only the distance gate separates them.
        frames = [frame([-7.0, 0, 1], [-50.0, 0, 1]), frame([-50.6, 0, 1], [-7.5, 0, 1])]
        assert xs(*link(frames, 1.0)) == [[-7, -7.5], [-50, f32(-50.6)]]
        assert_no_tracks(link([frame([-5, 0, 1]), frame([-8, 0, 1])], 1.0))

    @pytest.mark.parametrize(
        "i_p, i_q, ratio, linked",
        [
            (10, 25, 2.0, False), (10, 25, 2.5, True), (25, 10, 2.5, True), (25, 10, 2.0, False),
            (3, 3, 1.0, True), (3, 3.0001, 1.0, False),
            (3, 3, 0.5, False), (1, 1, 0.0, False),
            (np.nan, 5, 2.0, True), (5, np.nan, 0.1, True), (1, 1000, np.nan, True),
            (0, 0, 0.0, True), (-1, -4, 2.0, False),
        ],
    )
    def test_intensity_ratio_gate(self, i_p, i_q, ratio, linked):
        m, _ = link([frame([0, 0, i_p]), frame([0.5, 0, i_q])], 1.0, 0, ratio)
        assert (m.shape[0] == 2) is linked

    def test_three_rows_one_column(self):
        # The closer of two candidates wins; the far one is out of reach.
        frames = [frame([0, 0, 1], [1.6, 0, 1], [9, 0, 1]), frame([1, 0, 1])]
        assert xs(*link(frames, 1.0)) == [[f32(1.6), 1]]

    def test_one_row_three_columns(self):
        # The nearest column fails the intensity gate: the next admissible wins.
        frames = [frame([0, 0, 1]), frame([0.9, 0, 1], [0.1, 0, 10], [0.5, 0, 1])]
        assert xs(*link(frames, 1.0, 0, 2.0)) == [[0, 0.5]]

    def test_global_optimum_not_greedy(self):
        # Greedy nearest would take a->c (0.3) and leave b unmatched (cost 1);
        # the optimum pairs a->d and b->c.
        frames = [frame([0, 0, 1], [0.6, 0, 1]), frame([0.3, 0, 1], [-0.5, 0, 1])]
        assert xs(*link(frames, 1.0)) == [[0, -0.5], [f32(0.6), f32(0.3)]]


# ---------------------------------------------------------------- degenerate parameters and inputs

class TestDegenerate:
    @pytest.mark.parametrize("frames", [[], [frame([0, 0, 1])], [empty(), empty(2)], [frame([0, 0, 1]), frame([5, 0, 1])]])
    def test_no_tracks(self, frames):
        assert_no_tracks(link(frames, 1.0, 2**64 - 1))

    @pytest.mark.parametrize("max_distance", [0.0, 1e-7, 9.99e-7, -1.0, -np.inf, np.nan])
    def test_no_positive_unmatched_cost_links_nothing(self, max_distance):
        same = frame([0, 0, 1], [-1, -1, 1])
        assert_no_tracks(link([same, same.copy(), same.copy()], max_distance, 3))
        assert_no_tracks(link3d([frame([0, 0, 0, 1], cols=4)] * 2, max_distance, 0), 4)

    def test_smallest_positive_unmatched_cost_links(self):
        same = frame([0, 0, 1])
        assert link([same, same], 1e-6)[1].tolist() == [2]

    @pytest.mark.parametrize("max_distance", [np.inf, 1e12, 3e38])
    def test_unbounded_distance_still_minimises(self, max_distance):
        # Costs saturate near 2^63 and F = 10 U would overflow; the assignment
        # still minimises the total distance and never pairs a NaN.
        frames = [frame([0, 0, 1], [1000, 0, 1], [np.nan, 0, 1]), frame([1001, 0, 1], [2, 0, 1], [0, 0, 1])]
        assert xs(*link(frames, max_distance, 0, np.inf)) == [[0, 0], [1000, 1001]]
        far = [frame([-3e38, 0, 1]), frame([3e38, 0, 1])]
        # 6e38 apart: the squared distance overflows to inf, which passes only a
        # squared gate that overflowed too.
        assert link(far, max_distance, 0, np.inf)[1].tolist() == ([] if max_distance == 1e12 else [2])

    def test_huge_skip_over_many_frames(self):
        frames = [frame([0, 0, 1])] + [empty()] * 300 + [frame([0.5, 0, 1])]
        assert_no_tracks(link(frames, 1.0, 299))
        assert xs(*link(frames, 1.0, 300)) == [[0, 0.5]]
        assert xs(*link(frames, 1.0, 2**64 - 1)) == [[0, 0.5]]

    def test_too_few_columns_fault_before_linking(self):
        def assert_panics(call, *args):
            with pytest.raises(BaseException) as e:
                call(*args)
            assert type(e.value).__name__ == "PanicException"
            assert str(e.value) == "ndarray: index out of bounds"

        for frames in ([frame([0, 0, 1]), np.zeros((1, 2), f32)], [np.zeros((3, 0), f32)]):
            # Nothing would be linked with a NaN distance, but the read faults first.
            assert_panics(sonaloc.rs_link_points, frames, np.nan, 0, 2.0)
        assert_panics(sonaloc.rs_link_points_3d, [frame([0, 0, 0, 1], cols=4), np.zeros((2, 3), f32)], 1.0, 0)
        assert_no_tracks(link3d([empty(3), frame([0, 0, 0, 1], cols=4)]), 4)


# ---------------------------------------------------------------- 3D

class TestLink3D:
    def test_chain_ignores_intensity(self):
        frames = [frame([0, 0, 0, 1], cols=4), frame([0, 0, 0.5, 100], cols=4), frame([0, 0, 1, 1], cols=4)]
        m, ends = link3d(frames, 1.0, 0)
        assert ends.tolist() == [3]
        assert np.array_equal(m, np.concatenate(frames))

    @pytest.mark.parametrize("axis", [0, 1, 2])
    def test_gate_along_each_axis(self, axis):
        for d, linked in ((0.9, True), (1.1, False)):
            b = np.zeros((1, 4), f32)
            b[0, axis] = d * 3.0
            m, _ = link3d([np.zeros((1, 4), f32), b], 3.0)
            assert (m.shape[0] == 2) is linked

    def test_gaps_and_order(self):
        pt = lambda x, y=0.0: frame([x, y, -2.0, 1.0], cols=4)
        frames = [pt(0), empty(4), np.concatenate([pt(5), pt(0.5)]), pt(5.5, 0.5)]
        m, ends = link3d(frames, 1.0, 1)
        assert [list(t[:, 0]) for t in tracks(m, ends)] == [[0, 0.5], [5, 5.5]]
        assert_no_tracks(link3d(frames[:2], 1.0, 2**64 - 1), 4)


# ---------------------------------------------------------------- the assignment against dense solvers

def linked_pairs(result, a, b):
    """(row, column) pairs recovered from the tracks of a two-frame link."""
    m, ends = result
    key = lambda r: r.tobytes()
    rows = {key(r): i for i, r in enumerate(a)}
    cols = {key(r): j for j, r in enumerate(b)}
    pairs = []
    for t in tracks(m, ends):
        assert len(t) == 2
        pairs.append((rows[key(t[0])], cols[key(t[1])]))
    return sorted(pairs)


def total(w, u, pairs):
    rows = {i for i, _ in pairs}
    return sum(int(w[i, j]) for i, j in pairs) + u * (w.shape[0] - len(rows))


def clustered(rng, n, dims, spread, scale):
    centres = rng.uniform(0, scale, (max(1, n // 3), dims))
    pts = centres[rng.integers(0, len(centres), n)] + rng.normal(0, spread, (n, dims))
    inten = rng.uniform(1, 3, (n, 1))
    return np.hstack([pts, inten]).astype(f32)


def brute_force(w, u):
    """Minimal cost and every optimal pair set, by enumeration."""
    r, c = w.shape[0], w.shape[1] - w.shape[0]
    best, optima = None, []
    for choice in itertools.product(*[[None] + [j for j in range(c) if w[i, j] <= u] for i in range(r)]):
        used = [j for j in choice if j is not None]
        if len(used) != len(set(used)):
            continue
        pairs = sorted((i, j) for i, j in enumerate(choice) if j is not None)
        cost = total(w, u, pairs)
        if best is None or cost < best:
            best, optima = cost, [pairs]
        elif cost == best:
            optima.append(pairs)
    return best, optima


@pytest.mark.parametrize("dims", [2, 3])
def test_small_frame_pairs_match_brute_force(dims):
    rng = np.random.default_rng(dims)
    unique = 0
    for it in range(150):
        shift = f32(1.5 * (it % 2))  # every other case mostly in negative coordinates
        a = clustered(rng, int(rng.integers(1, 6)), dims, 0.4, 3.0) - shift
        b = clustered(rng, int(rng.integers(1, 6)), dims, 0.4, 3.0) - shift
        md = float(rng.choice([0.5, 1.0, 2.0]))
        if dims == 2:
            w, u = dense_matrix(a, b, md, 1.8)
            got = linked_pairs(link([a, b], md, 0, 1.8), a, b)
        else:
            w, u = dense_matrix(a, b, md)
            got = linked_pairs(link3d([a, b], md, 0), a, b)
        best, optima = brute_force(w, u)
        assert total(w, u, got) == best
        assert len(got) == max(len(o) for o in optima)  # ties go to linking
        if len(optima) == 1:
            unique += 1
            assert got == optima[0]
    assert unique > 100


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # float overflow in the reference
def test_special_values_match_brute_force():
    # NaN, infinities, saturating cells and distances, at finite and infinite gates.
    rng = np.random.default_rng(3)
    special = f32([np.nan, np.inf, -np.inf, 3e38, -3e38, 1e20, -1e20, 2e19, 0.0, -0.0, 1e-40])
    for it in range(300):
        dims = 2 + it % 2
        md = float(rng.choice([0.1, 1.0, 1e12, 1e19, 3e38, np.inf]))
        sides = []
        for n in rng.integers(1, 5, 2):
            x = np.round(rng.normal(0, 3, (n, dims))).astype(f32)
            mask = rng.random(x.shape) < 0.25
            x[mask] = rng.choice(special, mask.sum())
            sides.append(np.hstack([x, rng.uniform(1, 1.5, (n, 1))]).astype(f32))
        a, b = sides
        if len({r.tobytes() for r in a}) < len(a) or len({r.tobytes() for r in b}) < len(b):
            continue
        w, u = dense_matrix(a, b, md, 2.0 if dims == 2 else None)
        result = link([a, b], md, 0, 2.0) if dims == 2 else link3d([a, b], md, 0)
        got = linked_pairs(result, a, b)
        best, optima = brute_force(w, u)
        assert total(w, u, got) == best and len(got) == max(len(o) for o in optima)


@pytest.mark.parametrize("dims", [2, 3])
def test_larger_frame_pairs_match_dense_solver(dims):
    rng = np.random.default_rng(10 + dims)
    for n_rows, n_cols in [(40, 60), (80, 50), (150, 150)]:
        a = clustered(rng, n_rows, dims, 0.7, 8.0)
        b = clustered(rng, n_cols, dims, 0.7, 8.0)
        if dims == 2:
            w, u = dense_matrix(a, b, 1.0, 2.0)
            got = linked_pairs(link([a, b], 1.0, 0, 2.0), a, b)
        else:
            w, u = dense_matrix(a, b, 1.0)
            got = linked_pairs(link3d([a, b], 1.0, 0), a, b)
        rows, cols = linear_sum_assignment(w)
        assert total(w, u, got) == int(w[rows, cols].sum())
        assert len(got) >= 5 and all(w[i, j] <= u for i, j in got)


# ---------------------------------------------------------------- whole runs against a reference

def moving_frames(rng, n, n_frames, dims=2, step=0.3, miss=0.2):
    pos = rng.uniform(0, 6, (n, dims))
    frames = []
    for _ in range(n_frames):
        keep = rng.random(n) > miss
        f = np.hstack([pos[keep], rng.uniform(1, 2, (keep.sum(), 1))]).astype(f32)
        frames.append(f[rng.permutation(len(f))])
        pos = pos + rng.normal(0, step, pos.shape)
    return frames


def test_whole_run_matches_reference():
    rng = np.random.default_rng(5)
    for skip, shift in ((0, 0.0), (2, 0.0), (1, 3.0)):
        frames = [f - f32([shift, shift, 0]) for f in moving_frames(rng, 25, 8)]
        m, ends = link(frames, 0.8, skip, 1.5)
        rm, rends = reference_link(frames, 0.8, skip, 1.5)
        assert ends.tolist() == rends.tolist()
        assert m.view(np.uint32).tolist() == rm.view(np.uint32).tolist()


def test_uncontested_pairs_beside_contested_clusters_match_reference():
    # Sparse frames: most points have one partner no one else can reach (at
    # distances up to exactly the gate), next to clusters where rows compete.
    # (Exact ties between optima are left open, so no two rows tie here.)
    rng = np.random.default_rng(11)
    step = rng.choice([0.0, 0.5, 1.0], 40)  # per point: still, half and the whole gate per frame
    frames = []
    for f in range(6):
        lone = np.column_stack([np.arange(40) * 5.0 + f * step, np.zeros(40), np.ones(40)])
        cluster = np.column_stack([300 + rng.uniform(0, 1.5, 12), rng.uniform(0, 1.5, 12), rng.uniform(0.8, 1.2, 12)])
        frames.append(f32(np.vstack([lone, cluster])))
    for skip in (0, 1):
        m, ends = link(frames, 1.0, skip, 1.5)
        rm, rends = reference_link(frames, 1.0, skip, 1.5)
        assert ends.tolist() == rends.tolist()
        assert m.view(np.uint32).tolist() == rm.view(np.uint32).tolist()
