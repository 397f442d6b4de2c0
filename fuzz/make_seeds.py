#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into fuzz/corpus/<target>/.

The seeds are small valid (and a few nearly valid) inputs, so the fuzzer
starts from the shapes the parsers accept. Wire messages are encoded by hand
(field numbers of VextraPkg.proto). Run again after changing a seed.
"""
import gzip
import os
import subprocess
import tempfile
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


def minidump(platform_id, codeview, name, memory=((0x7FFE0000, b"\xAA" * 64),), cut=None):
    """A minidump laid out by hand: system info, one thread with its context
    and stack, the memory list, one module with its name and debug record,
    the exception and a Linux maps stream."""
    import struct
    blobs = bytearray()
    base = 32 + 6 * 12  # header, then a directory of six streams

    def put(data):
        while (base + len(blobs)) % 8:
            blobs.append(0)
        at = base + len(blobs)
        blobs.extend(data)
        return at

    def text(value):
        units = value.encode("utf-16-le")
        return struct.pack("<I", len(units)) + units + b"\0\0"

    context = bytearray(1232)
    struct.pack_into("<I", context, 0x30, 0x00100007)
    struct.pack_into("<Q", context, 0x98, 0x7FFF0010)  # rsp
    struct.pack_into("<Q", context, 0xF8, 0x401000)    # rip
    context_at = put(bytes(context))
    stack_at = put(b"\x55" * 32)
    ranges = [(start, put(data), len(data)) for start, data in memory]
    name_at = put(text(name))
    cv_at = put(codeview)
    csd_at = put(text("Linux 6.1.0 #1 SMP x86_64"))
    maps = b"00400000-00402000 r-xp 00000000 08:01 1 /bin/game\n"
    maps_at = put(maps)
    system = struct.pack("<HHHBBIIIIIHH", 9, 6, 0, 4, 0, 6, 1, 0, platform_id, csd_at, 0, 0) + bytes(24)
    system_at = put(system)
    threads = struct.pack("<IIIIIQQII", 1, 7, 0, 0, 0, 0, 0x7FFF0010, 32, stack_at) + struct.pack("<II", 1232, context_at)
    threads_at = put(threads)
    memory_list = struct.pack("<I", len(ranges) + 1) + struct.pack("<QII", 0x7FFF0010, 32, stack_at)
    memory_list += b"".join(struct.pack("<QII", start, size, at) for start, at, size in ranges)
    memory_at = put(memory_list)
    module = struct.pack("<QIIII", 0x400000, 0x2000, 0, 0, name_at) + bytes(52) + struct.pack("<II", len(codeview), cv_at)
    module += bytes(8 + 16)
    modules_at = put(struct.pack("<I", 1) + module)
    exception = struct.pack("<IIIIQQII", 7, 0, 11, 1, 0, 0x10, 0, 0) + bytes(120) + struct.pack("<II", 1232, context_at)
    exception_at = put(exception)
    directory = [(7, len(system), system_at), (3, len(threads), threads_at), (5, len(memory_list), memory_at),
                 (4, len(module) + 4, modules_at), (6, len(exception), exception_at), (0x47670009, len(maps), maps_at)]
    header = struct.pack("<IIIIIIQ", 0x504D444D, 0xA793, len(directory), 32, 0, 0, 0)
    out = header + b"".join(struct.pack("<III", *entry) for entry in directory) + bytes(blobs)
    return out[:cut] if cut else out


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
    import struct
    elf = struct.pack("<I", 0x4270454C) + bytes(range(20))
    pdb = b"RSDS" + bytes(range(16, 32)) + struct.pack("<I", 1) + b"game.pdb\0"
    dumps = {
        "linux_elf": minidump(0x8201, elf, "/bin/game"),
        "windows_rsds": minidump(2, pdb, "C:\\Games\\game.exe"),
        "overlapping_memory": minidump(0x8201, elf, "/bin/game", ((0x7FFE0000, b"\xAA" * 64), (0x7FFE0020, b"\xBB" * 8))),
        "cut_short": minidump(0x8201, elf, "/bin/game", cut=900),
    }
    return {"config_file": config, "strategy_answer": strategy, "body_codec": codec, "request_decoder": decoder,
            "extra_info": extra_info, "minidump_reader": dumps, "module_identity": modules()}


def modules():
    """Small modules as the toolchains link them: an ELF library with a build id
    and a debug link, its debug file, and a PE DLL with a CodeView record."""
    files = {}
    with tempfile.TemporaryDirectory() as work:
        def path(name):
            return os.path.join(work, name)

        def run(*command):
            subprocess.run(command, check=True, cwd=work)

        with open(path("m.c"), "w") as f:
            f.write("int answer(int x) { return x * 42; }\n")
        run("gcc", "-shared", "-fPIC", "-g", "-Os", "-nostdlib", "-Wl,--build-id=sha1", "-o", "m.so", "m.c")
        run("objcopy", "--only-keep-debug", "m.so", "m.so.debug")
        run("objcopy", "--strip-all", "--add-gnu-debuglink=m.so.debug", "m.so")
        run("x86_64-w64-mingw32-gcc", "-shared", "-Os", "-nostdlib", "-Wl,--build-id", "-Wl,--pdb=m.pdb",
            "-Wl,-e,0", "-o", "m.dll", "m.c")
        for name in ("m.so", "m.so.debug", "m.dll"):
            with open(path(name), "rb") as f:
                files[name.replace(".", "_")] = f.read()
    return files


def main():
    for target, files in seeds().items():
        directory = os.path.join(HERE, "corpus", target)
        os.makedirs(directory, exist_ok=True)
        for name, data in files.items():
            with open(os.path.join(directory, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()
