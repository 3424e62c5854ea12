"""What a run shows while it lasts and when it ends: the progress bar or
lines, and the closing table."""
import logging
import sys
import threading

from tarvix.fleet import intended
from tarvix.fleet.job import failure_message, one_line


def report_note(report):
    """A report's last column: the reason it failed, or its warnings."""
    config = intended.note(report)
    if report["status"] != "ok":
        return "; ".join(text for text in (one_line(report["error"]), config) if text)
    notes = [config] * bool(config)
    notes += ["detected os %s" % report["detected_os"]] if report.get("detected_os") else []
    notes += [entry["note"] for entry in report["outputs"] if entry.get("note")]
    notes += ["warning: %s" % entry["warning"] for entry in report["outputs"] if entry["warning"]]
    return "; ".join(notes)


class Progress(object):
    """A Nornir processor that shows the devices as they finish: a bar on a
    terminal, else a line per device.  ``reports`` holds what each host's
    task reported."""

    def __init__(self, total, stream, reports=None):
        self.total = total
        self.stream = stream
        self.reports = {} if reports is None else reports
        self.done = 0
        self.failed = 0
        self.lock = threading.Lock()
        self.bar = None
        if stream.isatty():
            from rich.console import Console
            from rich.progress import BarColumn, MofNCompleteColumn, Progress as Bar, TextColumn, \
                TimeElapsedColumn

            self.bar = Bar(TextColumn("{task.description}"), BarColumn(), MofNCompleteColumn(),
                           TextColumn("{task.fields[failed]} failed"), TimeElapsedColumn(),
                           console=Console(file=stream), transient=False)
            self.task_id = self.bar.add_task("devices", total=total, failed=0)

    def __enter__(self):
        if self.bar is not None:
            self.bar.start()
        return self

    def __exit__(self, *exc):
        if self.bar is not None:
            try:
                self.bar.stop()
            except OSError:  # the terminal is gone (hung up)
                pass

    def bytes_moved(self, name, sent, total):
        """A device's copy has moved ``sent`` of its ``total`` bytes: the
        bar tells the megabytes of all copies."""
        if self.bar is None:
            return
        with self.lock:
            self.copies = getattr(self, "copies", {})
            self.copies[name] = (sent, total)
            moved = sum(done for done, _ in self.copies.values()) / 1e6
            whole = sum(size for _, size in self.copies.values()) / 1e6
            try:
                self.bar.update(self.task_id, description="devices, %.1f of %.1f MB copied" % (moved, whole))
            except OSError:
                pass

    def say(self, line):
        """A line for the user, above the bar if there is one; nothing
        where the terminal is gone (a hang-up): the run goes on."""
        with self.lock:
            try:
                if self.bar is None:
                    print(line, file=self.stream, flush=True)
                else:
                    self.bar.console.print(line, markup=False, highlight=False, soft_wrap=True)
            except OSError:
                pass

    def task_started(self, task):
        pass

    def task_completed(self, task, result):
        pass

    def task_instance_started(self, task, host):
        pass

    def subtask_instance_started(self, task, host):
        pass

    def subtask_instance_completed(self, task, host, result):
        pass

    def task_instance_completed(self, task, host, result):
        outcome = result[0]
        report = self.reports.get(host.name)
        if report is not None:
            status, note = report["status"], report_note(report)
        else:
            status, note = ("failed", one_line(failure_message(outcome))) if result.failed else ("ok", "")
        with self.lock:
            self.done += 1
            self.failed += status != "ok"
            line = "[%d/%d] %s: %s in %.2f s" % (self.done, self.total, host.name, status,
                                                 getattr(outcome, "seconds", 0.0))
            if note:
                line += ": %s" % note
        if self.bar is None or status != "ok":
            # The bar counts; a failure is also told above it as it happens.
            self.say(line)
        if self.bar is not None:
            with self.lock:
                self.bar.update(self.task_id, advance=1, failed=self.failed)


class StderrHandler(logging.Handler):
    """Writes to the current ``sys.stderr``, which the progress bar may have
    redirected to print above itself."""

    def emit(self, record):
        try:
            sys.stderr.write(self.format(record) + "\n")
        except Exception:
            self.handleError(record)


def table(rows):
    """The closing table: (device, status, seconds, result) rows, the
    result a failure's reason or a good device's notes."""
    header = ("device", "status", "seconds", "result")
    cells = [header] + [(name, status, "%.2f" % seconds, error) for name, status, seconds, error in rows]
    widths = [max(len(row[column]) for row in cells) for column in range(3)]
    lines = []
    for row in cells:
        line = "  ".join(cell.ljust(width) if column != 2 else cell.rjust(width)
                         for column, (cell, width) in enumerate(zip(row[:3], widths)))
        lines.append((line + "  " + row[3]).rstrip())
    return "\n".join(lines)
