"""The tables the Outlook benches print: each sync's figures per store, and one store's over another's."""


def print_runs(stores):
    """stores: (store's label, {sync's name: Run}) pairs; a Markdown table of their figures."""
    print("| sync | store | CPU | wall | peak | written |")
    print("|---|---|---|---|---|---|")
    for store, runs in stores:
        for name, outcome in runs.items():
            print("| %s | %s | %.2f s | %.2f s | %.0f MB | %.1f MB |" % (name, store, outcome.cpu, outcome.wall,
                                                                       outcome.peak_mb, outcome.written_mb))


def print_ratios(title, ours, theirs, names):
    """The named syncs' CPU, wall time and peak of ours over theirs."""
    print(title)
    for name in names:
        mine, other = ours[name], theirs[name]
        print("  %s: CPU %.2f, wall %.2f, peak %.2f" % (name, mine.cpu / max(other.cpu, 1e-3),
              mine.wall / max(other.wall, 1e-3), mine.peak_mb / max(other.peak_mb, 1e-3)))
