#include "HangingServer.h"

namespace KestruneTest {

const char* const hangingServer = R"(import http.server, pathlib, sys, time
answers, marker, port = int(sys.argv[1]), sys.argv[2], int(sys.argv[3])
count = 0
class Handler(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        global count
        count += 1
        if count > answers:
            pathlib.Path(marker).touch()
            time.sleep(100000)
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
http.server.HTTPServer(("127.0.0.1", port), Handler).serve_forever()
)";

} // namespace KestruneTest
