#!/usr/bin/python3
"""Talks to a running otCloudServer with independent tools: python3-oauthlib signs the
requests, curl does the web login and replays a captured request. Exits non-zero with a
message on the first answer that is not what a correct server gives.

Must run under Debian's /usr/bin/python3 (the one that sees python3-oauthlib).
"""

import argparse
import json
import re
import ssl
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

from oauthlib import oauth1

ARGS = None
FAILURES = []


def check(condition, what):
    if not condition:
        FAILURES.append(what)
        print("FAILED: " + what, file=sys.stderr)
    return condition


def tls_context():
    return ssl.create_default_context(cafile=ARGS.ca)


def fetch(url, method="GET", body=None, headers=None):
    """(status, body bytes) of one request; HTTP errors are answers too."""
    req = urllib.request.Request(url, data=body, method=method, headers=headers or {})
    try:
        with urllib.request.urlopen(req, context=tls_context() if url.startswith("https") else None,
                                    timeout=30) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()


def fetch_json(url, **kw):
    status, body = fetch(url, **kw)
    try:
        return status, json.loads(body.decode("utf-8"))
    except ValueError:
        return status, {"unparsed": body.decode("utf-8", "replace")}


def client(key=None, secret=None, verifier=None, **kw):
    return oauth1.Client(ARGS.consumer_key, client_secret=ARGS.consumer_secret,
                         resource_owner_key=key, resource_owner_secret=secret, verifier=verifier,
                         signature_type=oauth1.SIGNATURE_TYPE_QUERY,
                         signature_method=oauth1.SIGNATURE_HMAC_SHA1, **kw)


def signed(c, url, method="GET"):
    uri, _, _ = c.sign(url, http_method=method)
    return uri


def curl(*args):
    out = subprocess.run([ARGS.curl, "-s", "--cacert", ARGS.ca] + list(args),
                         capture_output=True, check=True)
    return out.stdout.decode("utf-8")


def web_login(request_key, user, password, jar, browser_form):
    site = "https://localhost:%d" % ARGS.tls_port
    page = curl("-c", jar, site + "/api.php?ac=open&op=authorise&oauth_token=" + request_key)
    fields = {}
    for name in ("s", "app_name", "oauth_token"):
        m = re.search(r'type="hidden" name="%s" value="([^"]*)"/>' % name, page)
        check(m is not None, "hidden field %s on the authorise page" % name)
        fields[name] = m.group(1) if m else ""
    check(fields["oauth_token"] == request_key, "the page carries the request token")
    fields["username"] = user
    fields["userpwd"] = password
    target = site + "/api.php?ac=open&op=authorisecheck"
    if browser_form:
        args = []
        for k, v in fields.items():
            args += ["--data-urlencode", "%s=%s" % (k, v)]
        answer = curl("-b", jar, *args, target)
    else:
        # As the program posts it: multipart fields holding form-encoded values.
        args = []
        for k, v in fields.items():
            args += ["--form-string", "%s=%s" % (k, urllib.parse.quote_plus(v, safe="!$'()*-.@_"))]
        answer = curl("-b", jar, *args, target)
    m = re.search("<div>授权码：<strong>(.*?)</strong></div>", answer)
    if m and '<div class="mid cnt clearfix">' in answer:
        return m.group(1)
    m = re.search("<div>授权错误：<strong>(.*?)</strong></div>", answer)
    return "error: " + (m.group(1) if m else answer)


def authorize(user, password, jar, browser_form):
    api = "https://localhost:%d" % ARGS.tls_port
    status, reply = fetch_json(signed(client(), api + "/open/requestToken"))
    check(status == 200 and "oauth_token" in reply, "request token: %s %s" % (status, reply))
    rkey, rsecret = reply["oauth_token"], reply["oauth_token_secret"]

    wrong = web_login(rkey, user, password + "x", jar, browser_form)
    check(wrong == "error: Wrong user name or password.", "wrong password refused: " + wrong)
    verifier = web_login(rkey, user, password, jar, browser_form)
    check(not verifier.startswith("error"), "web login of %s: %s" % (user, verifier))

    status, reply = fetch_json(signed(client(rkey, rsecret, verifier), api + "/open/accessToken"))
    check(status == 200 and "oauth_token_secret" in reply, "access token: %s %s" % (status, reply))
    status, again = fetch_json(signed(client(rkey, rsecret, verifier), api + "/open/accessToken"))
    check(status == 401, "a request token works once only: %s %s" % (status, again))
    return reply["oauth_token"], reply["oauth_token_secret"]


def multipart(content):
    boundary = "----otCloudServerTest%d" % int(time.time() * 1000)
    body = ("--%s\r\nContent-Disposition: form-data; name=\"file\"; filename=\"tmp1\"\r\n"
            "Content-Type: application/octet-stream\r\n\r\n" % boundary).encode() + content + \
           ("\r\n--%s--\r\n" % boundary).encode()
    return body, {"Content-Type": "multipart/form-data; boundary=" + boundary}


def main():
    global ARGS
    p = argparse.ArgumentParser()
    for a in ("--plain-port", "--tls-port"):
        p.add_argument(a, type=int, required=True)
    for a in ("--ca", "--user", "--password", "--other-user", "--other-password",
              "--consumer-key", "--consumer-secret", "--curl"):
        p.add_argument(a, required=True)
    p.add_argument("--jar", required=True)
    ARGS = p.parse_args()
    plain = "http://127.0.0.1:%d" % ARGS.plain_port
    q = urllib.parse.quote

    key, secret = authorize(ARGS.user, ARGS.password, ARGS.jar + "1", browser_form=False)
    alice = lambda **kw: client(key, secret, **kw)

    status, folder = fetch_json(signed(alice(), plain +
                                       "/1/fileops/create_folder?root=app_folder&path=" +
                                       q("/Py Docs", safe="")))
    check(status == 200 and folder.get("type") == "folder", "create folder: %s" % folder)

    status, locate = fetch_json(plain + "/1/fileops/upload_locate")
    check(status == 200, "upload locate")
    upload_host = locate["url"].rstrip("/")
    content = "任务 <remarks/>\n".encode("utf-8")
    body, headers = multipart(content)
    url = signed(alice(), upload_host + "/1/fileops/upload_file?root=app_folder&path=" +
                 q("/Py Docs/hello.tsk", safe="") + "&overwrite=True", method="POST")
    status, up = fetch_json(url, method="POST", body=body, headers=headers)
    check(status == 200 and up.get("name") == "hello.tsk" and up.get("file_id"), "upload: %s" % up)

    # The path in the request path, encoded the way most clients do ("%20").
    status, listing = fetch_json(signed(alice(), plain + "/1/metadata/app_folder/Py%20Docs?list=True"))
    names = [f["name"] for f in listing.get("files", [])]
    check(status == 200 and names == ["hello.tsk"], "listing: %s" % listing)

    status, data = fetch(signed(alice(), plain + "/1/fileops/download_file?root=app_folder&path=" +
                                q("/Py Docs/hello.tsk", safe="")))
    check(status == 200 and data == content, "download gives the uploaded bytes")

    status, _ = fetch(signed(alice(), plain + "/1/fileops/move?root=app_folder&from_path=" +
                             q("/Py Docs/hello.tsk", safe="") + "&to_path=" +
                             q("/Py Docs/renamed.tsk", safe="")))
    check(status == 200, "move")
    status, _ = fetch(signed(alice(), plain + "/1/metadata/app_folder/Py%20Docs/hello.tsk"))
    check(status == 404, "the old name is gone after a move")
    status, _ = fetch(signed(alice(), plain + "/1/fileops/delete?root=app_folder&path=" +
                             q("/Py Docs/renamed.tsk", safe="")))
    check(status == 200, "delete")
    status, listing = fetch_json(signed(alice(), plain + "/1/metadata/app_folder/Py%20Docs?list=True"))
    check(status == 200 and not listing.get("files"), "empty after delete: %s" % listing)

    # Refusals.
    good = signed(alice(), plain + "/1/metadata/app_folder/?list=True")
    sig = re.search(r"oauth_signature=([^&]*)", good).group(1)
    forged = good.replace("oauth_signature=" + sig, "oauth_signature=" + ("A" + sig[1:] if sig[0] != "A" else "B" + sig[1:]))
    status, reply = fetch_json(forged)
    check(status == 401 and reply.get("msg") == "invalid signature", "bad signature: %s %s" % (status, reply))

    captured = signed(alice(), plain + "/1/metadata/app_folder/")
    first = curl("-o", "/dev/null", "-w", "%{http_code}", captured)
    replay = curl("-w", "\n%{http_code}", captured)
    check(first == "200" and replay.endswith("401") and "nonce already used" in replay,
          "replayed nonce: %s / %s" % (first, replay))

    stale = signed(alice(timestamp=str(int(time.time()) - 3600)), plain + "/1/metadata/app_folder/")
    status, reply = fetch_json(stale)
    check(status == 401 and reply.get("msg") == "timestamp out of range", "stale timestamp: %s" % reply)

    status, reply = fetch_json(signed(alice(), plain + "/1/fileops/create_folder?root=app_folder&path=" +
                                      q("/a/../b", safe="")))
    check(status == 400, "'..' in a path: %s %s" % (status, reply))

    # Another user sees nothing of this user's folder.
    status, _ = fetch(signed(alice(), plain + "/1/fileops/create_folder?root=app_folder&path=%2FMine"))
    okey, osecret = authorize(ARGS.other_user, ARGS.other_password, ARGS.jar + "2", browser_form=True)
    bob = lambda: client(okey, osecret)
    status, _ = fetch(signed(bob(), plain + "/1/metadata/app_folder/Mine"))
    check(status == 404, "another user's folder is not visible")
    status, _ = fetch(signed(bob(), plain + "/1/fileops/delete?root=app_folder&path=%2FMine"))
    check(status == 404, "another user's folder cannot be deleted")
    status, _ = fetch(signed(alice(), plain + "/1/metadata/app_folder/Mine"))
    check(status == 200, "the folder is still there for its owner")

    if FAILURES:
        print("%d check(s) failed" % len(FAILURES), file=sys.stderr)
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
