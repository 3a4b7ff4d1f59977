"""The two line walks of the renderers, written out literally on exact
integers: the reference the drawing tests compare against."""


T2 = [lambda x, y: (x, y), lambda x, y: (y, x), lambda x, y: (y, -x), lambda x, y: (-x, y),
      lambda x, y: (-x, -y), lambda x, y: (-y, -x), lambda x, y: (-y, x), lambda x, y: (x, -y)]
B2 = [lambda X, Y: (X, Y), lambda X, Y: (Y, X), lambda X, Y: (-Y, X), lambda X, Y: (-X, Y),
      lambda X, Y: (-X, -Y), lambda X, Y: (-Y, -X), lambda X, Y: (Y, -X), lambda X, Y: (X, -Y)]


def ref_line_2d(s, e):
    """The octant-normalised walk, literally, on exact integers."""
    a, b, o = e[0] - s[0], e[1] - s[1], 0
    if b < 0:
        a, b, o = -a, -b, o + 4
    if a < 0:
        a, b, o = b, -a, o + 2
    if a < b:
        o += 1
    (X0, Y0), (X1, Y1) = T2[o](*s), T2[o](*e)
    DX, DY = X1 - X0, Y1 - Y0
    D, Y, out = DY - DX, Y0, []
    for i in range(DX):
        out.append(B2[o](X0 + i, Y))
        if D >= 0:
            Y, D = Y + 1, D - DX
        D += DY
    return out


def ref_line_3d(s, e):
    d = [e[k] - s[k] for k in range(3)]
    N = max(abs(v) for v in d)
    err, cur, out = [N // 2] * 3, list(s), []
    for _ in range(N + 1):
        out.append(tuple(cur))
        for k in range(3):
            err[k] -= abs(d[k])
            if err[k] < 0:
                err[k] += N
                cur[k] += (d[k] > 0) - (d[k] < 0)
    return out
