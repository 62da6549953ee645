#!/usr/bin/env python3
"""Makes the fuzz targets' seed corpora (fuzz/corpus/<target>/) from the simulator's real output.

Starts zarncam, asks it for a small stream (176x144, a key frame every 5 pictures) and its CGI
answers over HTTP, and lets zarnhost store a preset so that the driver writes a real preset file.
Each seed is what the target reads: a control prefix (see the target's source) and real bytes.

    fuzz/make_seeds.py build/tools/camsim/zarncam build/tools/host/zarnhost

Run it again only when the camera's output changes; the seeds are kept in the repository.
"""
import glob
import os
import re
import shutil
import struct
import subprocess
import sys
import urllib.request

ROOT = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(ROOT, "corpus")


def start_camera(zarncam, *options):
    process = subprocess.Popen([zarncam, "--port", "0", "--auth", "none", *options],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    line = process.stdout.readline()
    port = int(re.search(r"port (\d+)", line).group(1))
    return process, port


def get(port, target, limit=None, timeout=5.0):
    url = f"http://127.0.0.1:{port}{target}"
    with urllib.request.urlopen(url, timeout=timeout) as answer:
        if limit is None:
            return answer.read()
        data = b""
        while len(data) < limit:
            chunk = answer.read(min(4096, limit - len(data)))
            if not chunk:
                break
            data += chunk
        return data


def parts(stream):
    """The payloads of a "Length: "-framed stream (whole parts only)."""
    payloads = []
    at = 0
    while True:
        tag = stream.find(b"Length: ", at)
        if tag < 0:
            break
        end = stream.find(b"\r\n\r\n", tag)
        if end < 0:
            break
        length = int(stream[tag + 8:end])
        begin = end + 4
        if begin + length > len(stream):
            break
        payloads.append(stream[begin:begin + length])
        at = begin + length
    return payloads


def write(target, name, data):
    folder = os.path.join(CORPUS, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as out:
        out.write(data)


def parser_seed(flags, payloads):
    head = struct.pack("<BH", flags, len(payloads))
    head += b"".join(struct.pack("<H", len(p)) for p in payloads)
    return head + b"".join(payloads)


def stream_seeds(zarncam, name, options, stream_bytes):
    camera, port = start_camera(zarncam, *options)
    try:
        get(port, "/cgi-bin/AVConfig.cgi?Action=Set&FrameRate=25&IFrameInterval=5"
                  "&BitRate=128&VideoResolution=8")
        stream = get(port, "/cgi-bin/video_post.cgi", limit=stream_bytes)
    finally:
        camera.terminate()
        camera.wait()
    body = stream[stream.find(b"\r\n\r\n") + 4:]
    write("part_reader_fuzz", name, b"\x00" + body[:8000])
    write("part_reader_fuzz", name + "-segments", b"\x23" + body[:4096])
    payloads = parts(body)
    write("h264_parser_fuzz", name, parser_seed(0x00, payloads))
    write("h264_parser_fuzz", name + "-paced-refused", parser_seed(0x11, payloads[:40]))
    return payloads


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    zarncam, zarnhost = sys.argv[1], sys.argv[2]
    shutil.rmtree(CORPUS, ignore_errors=True)

    payloads = stream_seeds(zarncam, "stream-qcif", [], 24000)
    stream_seeds(zarncam, "stream-small-parts", ["--max-payload", "256"], 12000)
    stream_seeds(zarncam, "stream-garbage", ["--garbage"], 6000)

    sps = [p for p in payloads if len(p) > 5 and p[:5] == b"\0\0\0\0\1" and p[5] & 0x1F == 7]
    write("sps_reader_fuzz", "sps-body", sps[0][6:])
    key = [i for i, p in enumerate(payloads) if p in sps][0]
    frame = b"".join(p[2:] for p in payloads[key:key + 3])
    write("sps_reader_fuzz", "key-frame-start", frame[:64])

    camera, port = start_camera(zarncam, "--user", "admin", "--password", "se&cret")
    try:
        capability = get(port, "/cgi-bin/CapabilityConfig.cgi")
        accepted = get(port, "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=se%26cret")
        rejected = get(port, "/cgi-bin/LoginConfig.cgi?Action=Check&User=admin&Password=x")
        ptz = get(port, "/cgi-bin/PtzConfig.cgi?Action=Get")
        av = get(port, "/cgi-bin/AVConfig.cgi?Action=Get")
    finally:
        camera.terminate()
        camera.wait()
    write("cgi_answer_fuzz", "capability", b"\x00" + capability)
    write("cgi_answer_fuzz", "login-accepted", b"\x00" + accepted)
    write("cgi_answer_fuzz", "login-rejected", b"\x00" + rejected)
    write("cgi_answer_fuzz", "ptz-get", b"\x00" + ptz)
    write("cgi_answer_fuzz", "av-get", b"\x00" + av)
    write("cgi_answer_fuzz", "get-value", b"\x01ProductID\0=\0\r\n\0" + capability)
    write("cgi_answer_fuzz", "redact", b"\x02/cgi-bin/LoginConfig.cgi?Action=Check&User=admin"
                                       b"&Password=se%26cret\0se&cret")

    # A preset file as the driver writes it: zarnhost stores a preset beside itself.
    camera, port = start_camera(zarncam)
    try:
        for name in ("Door", "Gate 2"):
            subprocess.run([zarnhost, "preset", "--camera", f"127.0.0.1:{port}", "add", name],
                           check=True, stdout=subprocess.DEVNULL)
    finally:
        camera.terminate()
        camera.wait()
    folder = os.path.dirname(os.path.abspath(zarnhost))
    preset_files = glob.glob(os.path.join(folder, f"Zarn_127.0.0.1_{port}.preset"))
    with open(preset_files[0], "rb") as stored:
        preset = stored.read()
    for path in preset_files:
        os.remove(path)
    write("xml_settings_fuzz", "preset-document", b"\x00" + preset)
    write("xml_settings_fuzz", "preset-document-write", b"\x38" + preset)
    write("xml_settings_fuzz", "preset-file", b"\x01" + preset)
    write("xml_settings_fuzz", "preset-file-clear", b"\x87" + preset)


if __name__ == "__main__":
    main()
