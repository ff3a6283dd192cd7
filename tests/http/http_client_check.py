"""Drives a zn-http test server with Python's http.client, one kept-alive connection."""
import http.client
import sys


def main():
    port = int(sys.argv[1])
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)

    for i in range(3):
        conn.request("GET", "/item/%d?q=%d" % (i, i), headers={"X-Test": "yes"})
        resp = conn.getresponse()
        body = resp.read()
        assert (resp.status, resp.reason) == (200, "OK"), (resp.status, resp.reason)
        assert resp.getheader("Connection") == "keep-alive", resp.getheaders()
        assert resp.getheader("Date", "").endswith(" GMT"), resp.getheaders()
        assert body == ("/item/%d" % i).encode(), body

    payload = bytes(range(256)) * 200
    conn.request("POST", "/echo", body=payload, headers={"Content-Type": "application/octet-stream"})
    resp = conn.getresponse()
    assert resp.read() == payload

    # HEAD: the headers of a GET, no body; the connection goes on.
    conn.request("HEAD", "/item/head", headers={"X-Test": "yes"})
    resp = conn.getresponse()
    assert resp.getheader("Content-Length") == "10", resp.getheaders()
    assert resp.read() == b""

    conn.request("GET", "/teapot")
    resp = conn.getresponse()
    resp.read()
    assert (resp.status, resp.reason) == (418, 'I"m a teapot'), (resp.status, resp.reason)

    # The client's wish to close is honoured; the next request opens a new connection.
    conn.request("GET", "/item/last", headers={"X-Test": "yes", "Connection": "close"})
    resp = conn.getresponse()
    assert resp.getheader("Connection") == "close", resp.getheaders()
    assert resp.read() == b"/item/last"

    # No length: the body runs to the end of the connection.
    conn.request("GET", "/close")
    resp = conn.getresponse()
    assert resp.getheader("Connection") == "close", resp.getheaders()
    assert resp.read() == b"bye"
    conn.close()
    print("OK")


if __name__ == "__main__":
    main()
