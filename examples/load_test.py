"""A load test of a local HTTP server: the job threads_main's bulk submission and summary lines are for.

Starts the standard library's threading HTTP server on 127.0.0.1 (an ephemeral port) in a process of
its own, so that the figures measure the load generator rather than a server sharing its interpreter
lock; its handler waits 5-30 ms and answers 500 for about 5 % of requests. Then it sends requests to
it for `--duration` seconds through a BrixelThreadsMain (or, with `--processes N`, a
BrixelThreadsCluster of N worker processes), logging the "summary +" / "summary =" lines every
`--interval` seconds, and prints the final counters, the latency percentiles and the failed tasks.
With `--report PATH` it writes the run report there (HTML with charts, or the timeline as CSV for a
path ending in .csv). Ctrl-C closes the manager cleanly (the `with` block).
"""

import argparse
import http.server
import logging
import multiprocessing
import os
import random
import sys
import threading
import time
import urllib.error
import urllib.request

import threads_main

# urlopen builds its opener at its first call, which loads the system's certificates (about 25 ms):
# workers that start together would each build one, and the first requests would take hundreds of
# milliseconds. One opener, built here, serves them all; the worker processes of --processes run
# this module too when they start, and so build theirs before the run.
urllib.request.install_opener(urllib.request.build_opener())


class SlowFlakyHandler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        time.sleep(random.uniform(0.005, 0.030))
        status = 500 if random.random() < 0.05 else 200
        body = b"fail\n" if status == 500 else b"ok\n"
        self.send_response(status)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, format, *args):  # keep the terminal for the summary lines
        pass


class Server(http.server.ThreadingHTTPServer):
    # Room for every connection the workers open at once: with the default backlog of 5, a burst of
    # connections loses SYNs, and each lost one adds a second to that request.
    request_queue_size = 128

    def handle_error(self, request, client_address):
        # A client gone before its answer (a request stopped at the end of the run) is no error of
        # the server's; anything else is reported as usual.
        if not isinstance(sys.exc_info()[1], ConnectionError):
            super().handle_error(request, client_address)


def serve(port_out, stop):
    """The server process: reports its port, then serves until `stop` is set."""
    server = Server(("127.0.0.1", 0), SlowFlakyHandler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port_out.put(server.server_address[1])
    stop.wait()
    server.shutdown()
    server.server_close()


def request(url):
    """The task function: one GET, returning the status code."""
    try:
        with urllib.request.urlopen(url, timeout=5) as response:
            response.read()
            return response.status
    except urllib.error.HTTPError as error:
        return error.code


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--duration", type=float, default=8.0, help="seconds of load (default 8)")
    parser.add_argument("--workers", type=int, default=20, help="requests in flight at once (default 20)")
    parser.add_argument("--interval", type=float, default=2.0, help="seconds between summary lines (default 2)")
    parser.add_argument("--dispatch", choices=("eager", "paced"), default="eager",
                        help="how the manager starts requests (default eager: as soon as a worker is free)")
    parser.add_argument("--report", metavar="PATH", help="write the run report to PATH (.html, or .csv for the timeline)")
    parser.add_argument("--processes", type=int, metavar="N",
                        help="spread the requests over N worker processes (a cluster; needs threads_main[cluster])")
    args = parser.parse_args(argv)

    logging.basicConfig(level=logging.INFO, format="%(asctime)s %(message)s", stream=sys.stdout)
    log = logging.getLogger("load_test")

    spawn = multiprocessing.get_context("spawn")
    port_out, stop = spawn.Queue(), spawn.Event()
    server = spawn.Process(target=serve, args=(port_out, stop), daemon=True)
    server.start()
    url = f"http://127.0.0.1:{port_out.get(timeout=30)}/"
    log.info("server on %s; %s workers for %s s%s", url, args.workers, args.duration,
             f" over {args.processes} processes" if args.processes else "")

    # --workers is taken as given: without `maximum` a manager caps its limit at 30.
    options = dict(max_workers=args.workers, maximum=True, logger=log, duration=args.duration, dispatch=args.dispatch)
    if args.processes:
        from brixel_cluster import BrixelThreadsCluster

        make = lambda: BrixelThreadsCluster(request, processes=args.processes, **options)  # noqa: E731
    else:
        make = lambda: threads_main.BrixelThreadsMain(request, **options)  # noqa: E731
    try:
        # Leaving the block closes the manager, on Ctrl-C as well.
        with make() as manager:
            began = time.monotonic()
            manager._send_list([{"url": url} for _ in range(args.workers)])
            manager._join_property(500, args.interval)  # a 500 answer counts as a failed request
            # The window is over: the requests still waiting are cancelled and those under way
            # stopped, so that the counters and the request times below cover the same requests.
            manager._stop_all()
            counts = manager._get_run_status()
            log.info("%s dispatch: %.1f requests per second (%d completed in %.1f s)", args.dispatch,
                     counts["done"] / (time.monotonic() - began), counts["done"], time.monotonic() - began)
            log.info("final counters: %s", counts)
            # A 500 keeps the status "完成" and counts as failed; a request that raised is "失败".
            failed = [r["task"] for r in manager._get_all_result()["data"] if r["result"] == 500 or r["status"] == "失败"]
            log.info("failed requests: %d of %d completed (%.2f%%): %s", counts["failed"], counts["done"],
                     counts["failed"] / max(counts["done"], 1) * 100,
                     ", ".join(failed[:20]) + (" ..." if len(failed) > 20 else ""))
            latency = manager._get_latency()
            log.info("request time (ms): p50 %.1f, p95 %.1f, p99 %.1f, max %.1f over %d requests",
                     latency["p50"], latency["p95"], latency["p99"], latency["max"], latency["count"])
        # The records outlive the close: the report covers the whole run.
        if args.report:
            manager._write_report(args.report)
            log.info("report written to %s", os.path.abspath(args.report))
    except KeyboardInterrupt:
        log.info("interrupted")
    finally:
        stop.set()
        server.join(5)
    return 0


if __name__ == "__main__":
    sys.exit(main())
