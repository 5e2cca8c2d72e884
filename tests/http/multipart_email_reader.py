"""Reads a multipart body written by lv_multipart_email_tool with Python's email parser (an
independent reader) and checks every part's name, file name, type and bytes, and the length."""
import email.parser
import email.policy
import os
import subprocess
import sys
import tempfile


def main(tool):
    with tempfile.TemporaryDirectory() as tmp:
        upload = os.path.join(tmp, "photo.png")
        with open(upload, "wb") as f:
            f.write(b"\x89PNG\r\n\x1a\n-not-really")
        out = os.path.join(tmp, "request")
        subprocess.run([tool, out, upload], check=True)
        with open(out, "rb") as f:
            raw = f.read()
    head, body = raw.split(b"\r\n\r\n", 1)
    length = int(head.split(b"Content-Length: ")[1])
    assert length == len(body), (length, len(body))

    message = email.parser.BytesParser(policy=email.policy.HTTP).parsebytes(raw)
    assert message.is_multipart(), "not multipart"
    assert message.get_content_type() == "multipart/form-data"
    assert len(message.get_boundary()) == 25
    assert message.defects == [], message.defects
    parts = [(p.get_param("name", header="content-disposition"), p.get_filename(), p.get_content_type(),
              p.get_payload(decode=True)) for p in message.iter_parts()]
    expected = [
        ("empty", None, "text/plain", b""),
        ("list[]", None, "text/plain", b"1"),
        ("list[]", None, "text/plain", b"2"),
        ("title", None, "text/plain", "韩流 news".encode()),
        ("blob", "all bytes.bin", "application/octet-stream", bytes(range(256))),
        ("upload", "photo.png", "image/png", b"\x89PNG\r\n\x1a\n-not-really"),
        ("say %22hi%22", None, "text/plain", b"q"),
    ]
    assert parts == expected, "\n".join(repr(p) for p in parts)
    print("multipart body read by the email parser: %d parts, %d bytes" % (len(parts), length))


if __name__ == "__main__":
    main(sys.argv[1])
