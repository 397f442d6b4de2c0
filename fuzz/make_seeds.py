#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are small valid (and a few nearly valid) inputs, so the fuzzer
starts from the shapes the parsers accept. Wire messages are encoded by hand
(field numbers of VextraPkg.proto). Run again after changing a seed.
"""
import gzip
import os
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))


def varint(n):
    out = bytearray()
    while True:
        b = n & 0x7F
        n >>= 7
        if n:
            out.append(b | 0x80)
        else:
            out.append(b)
            return bytes(out)


def field_int(number, value):
    return varint(number << 3) + varint(value)


def field_bytes(number, value):
    if isinstance(value, str):
        value = value.encode()
    return varint((number << 3) | 2) + varint(len(value)) + value


def field_map(number, mapping):
    return b"".join(field_bytes(number, field_bytes(1, k) + field_bytes(2, v)) for k, v in mapping.items())


def gzip_body(data):
    return gzip.compress(data, mtime=0)


def strategy_packet(value_map, status=""):
    strategy = field_int(1, 1) + field_bytes(4, "https://127.0.0.5/") + field_map(7, value_map)
    response = field_int(1, 0) + field_int(2, 840) + field_bytes(3, strategy)
    if status:
        response += field_bytes(6, status)
    return field_bytes(7, response)


def request_packet(cmd, sbuffer):
    request = field_int(1, 1) + field_bytes(2, "app-1") + field_int(7, cmd) + field_bytes(8, sbuffer)
    return field_bytes(6, request)


def seeds():
    config = {
        "full": b"<AppId>app-1</AppId>\r\n<DomainUrl>https://127.0.0.5/upload</DomainUrl>\n"
                b"<IgnoreDlls>a.dll</IgnoreDlls>\n<IgnoreDlls>b.dll</IgnoreDlls>\n<IgnoreDllCnt>2</IgnoreDllCnt>\n"
                b"<GameName>  Game One\t</GameName>\n<LogOutput>app-1</LogOutput>\n<LogPath>/tmp/vextra logs</LogPath>\n",
        "comments_and_cuts": b"<!-- <AppId>old</AppId> -->\n<AppId>app-2\n</GameName><GameName>x\n"
                             b"<LogPath>/tmp/caf\xe9/x</LogPath>\r\n<AppId>a\x00b</AppId>",
        "empty_values": b"<AppId></AppId>\n<DomainUrl> \t </DomainUrl>\n<LogOutput></LogOutput>",
    }
    switches = {"KEY_VEXTRA_DISABLE": "0", "KEY_MERGE_IMPROVE": "1", "quote\"key": "back\\slash\x01"}
    strategy = {
        "packet_switches": b"\x01" + strategy_packet(switches),
        "packet_status": b"\x01" + strategy_packet({}, status="forbidden"),
        "body_gzip": b"\x00" + gzip_body(strategy_packet({"KEY_VEXTRA_DISABLE": "1"})),
        "body_not_gzip": b"\x00not a gzip body",
    }
    codec = {
        "gzip_text": b"\x00" + gzip_body(b"a packet, " * 20),
        "zlib_text": b"\x00" + zlib.compress(b"not gzip but zlib"),
        "round_trip_text": b"\x07" + b"a packet, " * 20,
        "round_trip_bytes": b"\x07plain bytes \x00\x01\x02\xff",
    }
    user_info = field_int(1, 1) + field_bytes(2, "host.exe") + field_bytes(3, "device-1") + field_map(5, {"k": "v"})
    attachments = (field_bytes(17, field_int(1, 1) + field_bytes(2, "log.zip") + field_bytes(3, zlib.compress(b"log line\n" * 8)))
                   + field_bytes(17, field_int(1, 2) + field_bytes(2, "extra.txt") + field_bytes(3, b"extra"))
                   + field_bytes(17, field_int(1, 3) + field_bytes(2, "bad.zip") + field_bytes(3, b"not zlib")))
    upload = field_bytes(1, "crash") + attachments
    decoder = {
        "packet_840": b"\x01" + request_packet(840, user_info),
        "packet_830": b"\x01" + request_packet(830, field_bytes(1, upload)),
        "packet_unknown_cmd": b"\x01" + request_packet(850, b""),
        "body_gzip_840": b"\x00" + gzip_body(request_packet(840, user_info)),
    }
    extra_info = {
        "nested": b'{"a":"1","b":2,"c":{"d":"e"}}',
        "empty_key": b'{"":"v"}',
        "escapes": b'{"k":"line\\nend","q":"a\\"b"}',
        "unterminated": b'{"k":"v"',
        "keys_501": ("{" + ",".join('"k%04d":"v%d"' % (i, i) for i in range(501)) + "}").encode(),
    }
    return {"config_file": config, "strategy_answer": strategy, "body_codec": codec, "request_decoder": decoder,
            "extra_info": extra_info}


def main():
    for target, files in seeds().items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
