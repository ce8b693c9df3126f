"""kamo's command line.

    kamo --history [--limit N] [--before RUN_ID] [--db PATH]
                                             list recent publish runs, or those before RUN_ID
    kamo --history RUN_ID [--db PATH]        show one run
    kamo --demo-store PATH                   write a demo history store to a new file
    kamo VIDEO... | kamo --resume RUN_ID     publish: done by the full kamo runtime

With no arguments kamo prints its help and exits 0: nothing was asked, so nothing failed.
Options alone (--limit, --db, --json without a mode) are a usage error, and so is --before
with anything but a listing.
Exit status: 0 done; 1 refused (publishing here, or a demo over an existing file);
2 a usage error or a history failure.

A history failure is reported on stderr as ``[kamo] CODE: message``, followed by
``[kamo] 处理建议：action`` when it carries an action.

With ``--json`` (``kamo --history [RUN_ID] --json``) standard output is exactly one line, the
JSON outcome document of ``publish.output``: the history under "history" (mode "history_list"
or "history_detail"), a history failure as an entry of "errors" with its code, message and
action, and "exit_code". Everything else, argparse's usage text included, goes to stderr. A
usage error gives the "CFG-001" document and exit status 2; ``--help`` the document with exit
status 0. The exit status is always the document's "exit_code".
"""

import argparse
import sys


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="kamo",
        description="Publish video and image posts, and look back at past publish runs.",
    )
    parser.add_argument("targets", nargs="*", metavar="VIDEO",
                        help="video files or folders to publish (needs the full kamo runtime)")
    parser.add_argument("--history", nargs="?", const="", default=None, metavar="RUN_ID",
                        help="list recent runs, or show the run RUN_ID")
    parser.add_argument("--limit", type=int, default=20, metavar="N",
                        help="how many runs --history lists (default: 20)")
    parser.add_argument("--before", default=None, metavar="RUN_ID",
                        help="--history lists the runs stored before RUN_ID (the last one listed, "
                             "to page back)")
    parser.add_argument("--db", default=None, metavar="PATH",
                        help="history store to read (default: the usual location)")
    parser.add_argument("--json", action="store_true",
                        help="write one JSON outcome document on stdout; diagnostics go to stderr")
    parser.add_argument("--demo-store", metavar="PATH",
                        help="write a demo history store to PATH, a new file, and exit")
    parser.add_argument("--resume", metavar="RUN_ID",
                        help="resume an unfinished run (needs the full kamo runtime)")
    return parser


def _checked_args(parser, argv):
    """The parsed arguments; a usage error exits through argparse (SystemExit 2)."""
    args = parser.parse_args(argv)
    modes = [name for name, given in [
        ("--history", args.history is not None),
        ("--demo-store", args.demo_store is not None),
        ("publishing", bool(args.targets) or args.resume is not None),
    ] if given]
    if len(modes) > 1:
        parser.error(f"{' and '.join(modes)} cannot be combined")
    if not modes:
        parser.error("nothing to do: give --history, --demo-store or videos to publish")
    # Paging is for the list: a detail query, a demo or a publish has nothing to page.
    if args.before is not None and (modes != ["--history"] or args.history):
        parser.error("--before pages back through the list: give it with --history and no RUN_ID")
    return args


def _parse(parser, argv):
    """(args, None) or (None, exit status); argparse's own exits become statuses."""
    try:
        return _checked_args(parser, argv), None
    except SystemExit as exc:
        return None, exc.code if isinstance(exc.code, int) else (0 if exc.code is None else 2)


def _wants_json(argv) -> bool:
    """--json among the options, as argparse would read it (it accepts --j, --js, --jso too)."""
    for arg in argv:
        if arg == "--":
            return False
        name = arg.split("=", 1)[0]
        if len(name) >= 3 and "--json".startswith(name):
            return True
    return False


def _history(args) -> int:
    # Imported here: the native modules are needed only for history, and only when asked.
    from publish.runfault import HistoryError
    from publish.runlens import HistoryReader
    from publish.runprint import print_history

    try:
        reader = HistoryReader(args.db)
        if args.history:
            print_history(reader.get_run(args.history), "history_detail")
        else:
            print_history(reader.list_runs(args.limit, args.before), "history_list")
    except HistoryError as err:
        print(f"[kamo] {err.code}: {err.message}", file=sys.stderr)
        if err.action:
            print(f"[kamo] 处理建议：{err.action}", file=sys.stderr)
        return 2
    return 0


def _demo_store(path) -> int:
    from publish.historystore import demo_store

    try:
        demo_store(path)
    except FileExistsError as err:
        print(f"[kamo] {err}", file=sys.stderr)
        return 1
    print(path)
    return 0


def _publish(args) -> int:
    from publish.orchestrator import run_publish_with_params
    from publish.standin import RuntimeUnavailable

    try:
        run_publish_with_params({"targets": args.targets, "resume": args.resume})
    except RuntimeUnavailable as err:
        print(f"[kamo] {err}", file=sys.stderr)
        return 1
    return 0


def _history_json(args) -> int:
    from publish.output import record_error, record_history
    from publish.runfault import HistoryError
    from publish.runlens import HistoryReader

    mode, run_id = ("history_detail", args.history) if args.history else ("history_list", None)
    # The mode is known before the query, so a failed query still says what was asked.
    record_history(None, mode, run_id)
    try:
        reader = HistoryReader(args.db)
        if args.history:
            record = reader.get_run(args.history)
        else:
            record = reader.list_runs(args.limit, args.before)
    except HistoryError as err:
        record_error(err.code, err.message, err.action)
        return 2
    record_history(record, mode, run_id)
    return 0


def _json_command(parser, argv) -> int:
    """The whole command under run_with_json: argparse's exits become its document too."""
    args = _checked_args(parser, argv)
    if args.history is not None:
        return _history_json(args)
    if args.demo_store is not None:
        return _demo_store(args.demo_store)
    return _publish(args)


def main() -> int:
    parser = build_parser()
    argv = sys.argv[1:]
    if not argv:
        parser.print_help()
        return 0
    if _wants_json(argv):
        from publish.output import run_with_json

        return run_with_json(lambda: _json_command(parser, argv))
    args, status = _parse(parser, argv)
    if args is None:
        return status
    if args.history is not None:
        return _history(args)
    if args.demo_store is not None:
        return _demo_store(args.demo_store)
    return _publish(args)


def console() -> None:
    sys.exit(main())


if __name__ == "__main__":
    sys.exit(main())
