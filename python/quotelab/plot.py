"""A rebuilt day at a glance with matplotlib: the charts of ``quotelab report``, for notebooks.

    import quotelab
    ticks = quotelab.rebuild(orders, trades)     # quotelab.dtypes.L2Snapshot records
    fig = quotelab.plot_day(ticks)               # a matplotlib Figure
    fig.savefig("day.png")

Four charts share one time axis, with the lunch break (any pause over 30 minutes) cut out:
the last price over the best bid/ask band with the call auctions shaded, the spread, a depth
heat map of the ten levels a side (log volume), and the volume per minute. With a check (the
result of ``quotelab.verify``, or anything shaped like it) the title gives the coverage per
phase and the mismatches are marked on the price chart.

Every chart is drawn from series downsampled to about one point per pixel column, so a day
rebuilt at a 1 ms interval draws as fast as one at 3 s. Needs matplotlib (Debian
``python3-matplotlib``) only when called.
"""

import numpy as np

__all__ = ["plot_day"]

_SESSION_GAP_MIN = 30.0  # a longer pause is cut out of the time axis
_SEGMENT_GAP = 2.0       # minutes of axis between two sessions
_LINE_POINTS = 1200      # about one point per pixel column of a 12-inch figure
_AUCTIONS = ((9 * 60 + 15, 9 * 60 + 25), (14 * 60 + 57, 15 * 60))
_COLOURS = {"last": "#1f5fbf", "ask": "#d9480f", "bid": "#2f9e44", "volume": "#5f6b85",
            "auction": "#f59f00", "bad": "#e03131"}


def _minutes_of_day(time):
    """HHMMSSmmm times as minutes since midnight (floats)."""
    t = np.asarray(time, dtype=np.int64)
    ms = t // 10000000 * 3600000 + t // 100000 % 100 * 60000 + t // 1000 % 100 * 1000 + t % 1000
    return ms / 60000.0


class _TimeAxis:
    """The day's sessions side by side: clock minutes to axis positions and back to labels."""

    def __init__(self, minutes):
        m = np.sort(np.asarray(minutes, dtype=float))
        if len(m) == 0:
            m = np.array([9 * 60.0, 15 * 60.0])
        cuts = np.flatnonzero(np.diff(m) > _SESSION_GAP_MIN)
        starts = np.floor(np.r_[m[0], m[cuts + 1]])
        ends = np.maximum(np.ceil(np.r_[m[cuts], m[-1]]), starts + 1)
        self.segments = []
        offset = 0.0
        for start, end in zip(starts, ends):
            self.segments.append((start, end, offset))
            offset += end - start + _SEGMENT_GAP
        self.length = offset - _SEGMENT_GAP

    def segment_of(self, minutes):
        """Index of the session of each clock minute (a time in a pause: the next one)."""
        bounds = [end for _, end, _ in self.segments]
        return np.minimum(np.searchsorted(bounds, minutes), len(self.segments) - 1)

    def x(self, minutes):
        """Axis positions of clock minutes."""
        m = np.asarray(minutes, dtype=float)
        out = np.empty_like(m)
        which = self.segment_of(m)
        for i, (start, end, offset) in enumerate(self.segments):
            sel = which == i
            out[sel] = offset + np.clip(m[sel], start, end) - start
        return out

    def ticks(self):
        """Positions and labels: the sessions' ends and whole half hours; where one session
        meets the next, one label names both ("11:30/13:00")."""
        positions, labels = [], []

        def clock(minute):
            return f"{int(minute) // 60:02d}:{int(minute) % 60:02d}"

        for i, (start, end, offset) in enumerate(self.segments):
            inner = list(np.arange(np.floor(start / 30) * 30 + 30, end, 30))
            if i == 0:
                positions.append(offset)
                labels.append(clock(start))
            for minute in inner:
                positions.append(offset + minute - start)
                labels.append(clock(minute))
            if i + 1 < len(self.segments):
                positions.append(offset + end - start + _SEGMENT_GAP / 2)
                labels.append(clock(end) + "/" + clock(self.segments[i + 1][0]))
            else:
                positions.append(offset + end - start)
                labels.append(clock(end))
        return positions, labels

    def inside(self, positions):
        """Whether axis positions lie in a session (not in a cut-out pause)."""
        p = np.asarray(positions, dtype=float)
        return np.any([(p >= offset) & (p <= offset + end - start)
                       for start, end, offset in self.segments], axis=0)

    def spans(self, begin, end):
        """Axis intervals of the clock interval [begin, end] inside the sessions."""
        for start, stop, offset in self.segments:
            lo, hi = max(begin, start), min(end, stop)
            if lo < hi:
                yield offset + lo - start, offset + hi - start


def _last_of_bins(x, count):
    """Indices of the last element of each of `count` equal bins over x (x sorted)."""
    if len(x) == 0:
        return np.zeros(0, dtype=np.intp)
    span = max(float(x[-1] - x[0]), 1e-9)
    bins = np.floor((x - x[0]) / span * (count - 1)).astype(np.int64)
    return np.flatnonzero(np.r_[bins[1:] != bins[:-1], True])


def _field(check, name, default=None):
    if isinstance(check, dict):
        return check.get(name, default)
    return getattr(check, name, default)


def _phases(check):
    """(name, matched, total) of each phase of a check result."""
    out = []
    for p in _field(check, "phases", None) or ():
        if isinstance(p, (tuple, list)):
            out.append((str(p[0]), int(p[1]), int(p[2])))
        else:
            out.append((str(_field(p, "name")), int(_field(p, "matched")), int(_field(p, "total"))))
    return out


def _mismatch_times(check):
    """HHMMSSmmm times of a check result's mismatches (items with a time, or times)."""
    times = _field(check, "mismatch_times", None)
    if times is None:
        times = [m if np.isscalar(m) else _field(m, "time") for m in
                 (_field(check, "mismatches", None) or ())]
    return np.asarray(list(times), dtype=np.int64)


def _shade_auctions(ax, axis):
    for begin, end in _AUCTIONS:
        for lo, hi in axis.spans(begin, end):
            ax.axvspan(lo, hi, color=_COLOURS["auction"], alpha=0.13, lw=0)


def plot_day(snapshots, check=None, *, title=None, figsize=(12, 11)):
    """Draws a day of level-2 snapshots as the page of ``quotelab report`` does.

    snapshots: a numpy structured array with the fields of quotelab.dtypes.L2Snapshot (at
               least time, last, volume and the ten-level ask_price, ask_volume, bid_price,
               bid_volume), in time order, as quotelab.rebuild or quotelab.read give it.
    check:     None, or a check result: an object or mapping with ``phases`` (items with
               name, matched and total, or such tuples) and ``mismatches`` (items with a
               HHMMSSmmm ``time``, or the times) or ``mismatch_times``.
    title:     the figure's title (default: the symbol and trading day of the records).

    Returns the matplotlib Figure (not shown; display it in a notebook or save it).
    Raises ValueError when snapshots lacks a needed field.
    """
    from matplotlib.colors import LinearSegmentedColormap
    from matplotlib.figure import Figure

    s = np.asarray(snapshots)
    needed = ("time", "last", "volume", "ask_price", "ask_volume", "bid_price", "bid_volume")
    missing = [f for f in needed if s.dtype.names is None or f not in s.dtype.names]
    if missing:
        raise ValueError(f"snapshots: no field {', '.join(missing)} (expected "
                         "quotelab.dtypes.L2Snapshot records)")
    minutes = _minutes_of_day(s["time"])
    axis = _TimeAxis(minutes)
    x = axis.x(minutes)

    fig = Figure(figsize=figsize, layout="constrained")
    price, spread, depth, volume = fig.subplots(
        4, 1, sharex=True, gridspec_kw={"height_ratios": [3, 1.2, 2, 1.5]})
    if title is None and len(s):
        symbol = s["symbol"][0].decode(errors="replace") if "symbol" in s.dtype.names else ""
        day = int(s["trading_day"][-1]) if "trading_day" in s.dtype.names else 0
        title = f"{symbol} {day}" if day else symbol
    phases = _phases(check) if check is not None else []
    if phases:
        coverage = ", ".join(f"{n} {m}/{t} ({100.0 * m / t:.2f}%)" if t else f"{n} -"
                             for n, m, t in phases)
        title = f"{title or ''}\n{coverage}"
    if title:
        fig.suptitle(title)

    # Line series: the last snapshot of each of about _LINE_POINTS bins, broken at the pauses.
    pick = _last_of_bins(x, _LINE_POINTS)
    px = x[pick]
    breaks = np.flatnonzero(np.diff(axis.segment_of(minutes[pick])) != 0) + 1

    def line(values, valid):
        y = np.where(valid, values, np.nan).astype(float)
        return np.insert(px, breaks, np.nan), np.insert(y, breaks, np.nan)

    ask1 = s["ask_price"][pick, 0]
    bid1 = s["bid_price"][pick, 0]
    last = s["last"][pick]
    both = (ask1 > 0) & (bid1 > 0)
    _shade_auctions(price, axis)
    bx, by_ask = line(ask1, both)
    _, by_bid = line(bid1, both)
    price.fill_between(bx, by_bid, by_ask, color=_COLOURS["last"], alpha=0.14, lw=0)
    price.plot(*line(ask1, ask1 > 0), color=_COLOURS["ask"], lw=0.7, label="best ask")
    price.plot(*line(bid1, bid1 > 0), color=_COLOURS["bid"], lw=0.7, label="best bid")
    price.plot(*line(last, last > 0), color=_COLOURS["last"], lw=1.3, label="last")
    times = _mismatch_times(check) if check is not None else np.zeros(0, dtype=np.int64)
    if len(times):
        for mx in np.unique(np.round(axis.x(_minutes_of_day(times)), 1)):
            price.axvline(mx, color=_COLOURS["bad"], lw=0.8, alpha=0.8)
    price.set_ylabel("price")
    price.legend(loc="upper left", fontsize="small", ncols=3, frameon=False)

    _shade_auctions(spread, axis)
    sp = ask1 - bid1
    spread.plot(*line(sp, both & (sp > 0)), color="0.2", lw=0.8)
    spread.set_ylabel("spread")
    spread.set_ylim(bottom=0)

    # Depth: a column per minute of the axis showing the book at its end (the last snapshot
    # so far), asks above bids, both sides on one log scale from the 5th to the 98th
    # percentile of the volumes shown, as the page draws it.
    width = max(int(np.ceil(axis.length)), 1)
    edges = np.arange(width + 1, dtype=float)
    shown = np.searchsorted(x, edges[1:], side="right") - 1
    drawn = (shown >= 0) & axis.inside(edges[:-1] + 0.5)
    grids = {}
    for side in ("ask", "bid"):
        grid = np.zeros((10, width))
        grid[:, drawn] = s[f"{side}_volume"][shown[drawn]].T
        grids[side] = np.ma.log(np.ma.masked_less_equal(grid, 0))
    values = np.concatenate([grids["ask"].compressed(), grids["bid"].compressed()])
    vmin, vmax = np.percentile(values, [5, 98]) if len(values) else (0, 1)
    for side, colour in (("ask", _COLOURS["ask"]), ("bid", _COLOURS["bid"])):
        cmap = LinearSegmentedColormap.from_list(side, [colour + "18", colour])
        # Asks: level 1 just above the middle, level 10 at the top; bids mirrored below.
        rows = np.arange(11.0) if side == "ask" else -np.arange(11.0)[::-1]
        shade = grids[side] if side == "ask" else grids[side][::-1]
        depth.pcolormesh(edges, rows, shade, cmap=cmap, vmin=vmin, vmax=max(vmax, vmin + 1e-9),
                         shading="flat")
    depth.set_yticks([9.5, 0.5, -0.5, -9.5], ["ask 10", "ask 1", "bid 1", "bid 10"])
    depth.set_ylim(-10, 10)

    # Volume per minute from the cumulative volume; a match at a session's closing minute
    # (15:00:00.000) counts to the minute it closes.
    delta = np.diff(np.r_[0, s["volume"].astype(np.int64)])
    minute = np.floor(minutes)
    seg = np.array(axis.segments)[axis.segment_of(minutes)]
    minute = np.where((minute >= seg[:, 1]) & (minute - 1 >= seg[:, 0]), minute - 1, minute)
    rose = delta > 0
    per_minute = np.bincount(minute[rose].astype(np.int64), weights=delta[rose],
                             minlength=24 * 60 + 1)
    used = np.flatnonzero(per_minute > 0)
    _shade_auctions(volume, axis)
    volume.bar(axis.x(used.astype(float)), per_minute[used], width=0.8, align="edge",
               color=_COLOURS["volume"])
    volume.set_ylabel("volume / min")

    positions, labels = axis.ticks()
    volume.set_xticks(positions, labels)
    volume.set_xlim(0, axis.length)
    for ax in (price, spread, depth, volume):
        ax.grid(axis="x", color="0.9", lw=0.6)
    return fig
