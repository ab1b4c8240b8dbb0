"""Serves a folder (the playground's site) over HTTP on 127.0.0.1 only.

    /usr/bin/python3 web/serve.py FOLDER [--port N]

scripts/playground.sh runs it; the browser tests start it in a thread on a
free port (serve()). Files go out with their types (WebAssembly's, which
lets browsers compile while downloading, and JavaScript modules') and
without caching, so that a rebuilt page shows at the next reload.
"""

import argparse
import functools
import http.server
import sys
import threading

TYPES = {
    ".html": "text/html; charset=utf-8",
    ".css": "text/css; charset=utf-8",
    ".js": "text/javascript; charset=utf-8",
    ".wasm": "application/wasm",
    ".png": "image/png",
    ".txt": "text/plain; charset=utf-8",
}


class Handler(http.server.SimpleHTTPRequestHandler):
    extensions_map = {**http.server.SimpleHTTPRequestHandler.extensions_map, **TYPES}
    quiet = False

    def end_headers(self):
        self.send_header("Cache-Control", "no-store")
        super().end_headers()

    def log_message(self, format, *args):
        if not self.quiet:
            super().log_message(format, *args)


def serve(folder, port=0, quiet=True):
    """Starts serving `folder` on 127.0.0.1:port (0: a free port) in a daemon
    thread; returns the server (server.server_address[1] is the port; call
    server.shutdown() to stop it)."""
    handler = functools.partial(type("QuietHandler", (Handler,), {"quiet": quiet}), directory=folder)
    server = http.server.ThreadingHTTPServer(("127.0.0.1", port), handler)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server


def main():
    parser = argparse.ArgumentParser(description="Serves FOLDER on http://127.0.0.1:PORT/ until Ctrl-C.")
    parser.add_argument("folder")
    parser.add_argument("--port", type=int, default=8000)
    args = parser.parse_args()
    handler = functools.partial(Handler, directory=args.folder)
    try:
        server = http.server.ThreadingHTTPServer(("127.0.0.1", args.port), handler)
    except OSError as e:
        print(f"serve: cannot listen on 127.0.0.1:{args.port}: {e.strerror} (choose another with --port N)",
              file=sys.stderr)
        return 1
    print(f"Serving {args.folder} on http://127.0.0.1:{server.server_address[1]}/ (Ctrl-C stops)", flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
