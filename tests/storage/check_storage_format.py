#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Decodes the cache files that storage_format_writer wrote with decoders that are not the
library's own: Python's zlib for the raw deflate rows, the zstd command line for the frames.
Every row must give back exactly the event that was added."""

import argparse
import base64
import json
import os
import shutil
import sqlite3
import subprocess
import sys
import tempfile
import zlib


def read_cache(path):
    connection = sqlite3.connect(f"file:{path}?mode=ro", uri=True)
    try:
        rows = connection.execute("SELECT id, data FROM events ORDER BY id").fetchall()
        configuration = dict(connection.execute("SELECT item, value FROM configuration").fetchall())
    finally:
        connection.close()
    return rows, configuration


def read_expected(path):
    with open(path, encoding="utf-8") as lines:
        return [json.loads(line) for line in lines if line.strip()]


def inflate(data, dictionary):
    decoder = zlib.decompressobj(wbits=-11, zdict=dictionary) if dictionary else zlib.decompressobj(wbits=-11)
    output = decoder.decompress(data) + decoder.flush()
    if not decoder.eof or decoder.unused_data:
        raise ValueError("not one complete raw deflate stream")
    return output


def unzstd(zstd, data, dictionary_file, scratch):
    frame = os.path.join(scratch, "row.zst")
    with open(frame, "wb") as out:
        out.write(data)
    command = [zstd, "-d", "-q", "-c"]
    if dictionary_file:
        command += ["-D", dictionary_file]
    result = subprocess.run(command + [frame], capture_output=True)
    if result.returncode != 0:
        raise ValueError(result.stderr.decode(errors="replace").strip())
    return result.stdout


def check_zlib(work):
    rows, configuration = read_cache(os.path.join(work, "zlib.db"))
    expected = read_expected(os.path.join(work, "zlib.jsonl"))
    failures = []
    if configuration.get("compression") != "zlib":
        failures.append(f"compression row is {configuration.get('compression')!r}")
    dictionary = configuration.get("zlib_dictionary")
    if not dictionary:
        failures.append("no zlib_dictionary row")
        return failures
    if len(rows) != len(expected):
        failures.append(f"{len(rows)} rows, {len(expected)} events added")
    for (row_id, data), event in zip(rows, expected):
        want = base64.b64decode(event["base64"])
        if row_id != event["id"]:
            failures.append(f"row id {row_id}, expected {event['id']}")
        try:
            if inflate(data, dictionary) != want:
                failures.append(f"zlib row {row_id}: decodes to other bytes")
            # Streams made before the dictionary existed never refer to it.
            if not event["dictionary"] and inflate(data, None) != want:
                failures.append(f"zlib row {row_id}: needs a dictionary it was not made with")
        except (ValueError, zlib.error) as error:
            failures.append(f"zlib row {row_id}: {error}")
    return failures


def check_zstd(work, zstd):
    rows, configuration = read_cache(os.path.join(work, "zstd.db"))
    expected = read_expected(os.path.join(work, "zstd.jsonl"))
    failures = []
    if configuration.get("compression") != "zstd":
        failures.append(f"compression row is {configuration.get('compression')!r}")
    dictionary = configuration.get("zstd_dictionary")
    if not dictionary or dictionary[:4] != b"\x37\xa4\x30\xec":
        failures.append("no zstd_dictionary row in zstd's dictionary format")
        return failures
    if len(rows) != len(expected):
        failures.append(f"{len(rows)} rows, {len(expected)} events added")
    with tempfile.TemporaryDirectory() as scratch:
        dictionary_file = os.path.join(scratch, "dictionary")
        with open(dictionary_file, "wb") as out:
            out.write(dictionary)
        for (row_id, data), event in zip(rows, expected):
            want = base64.b64decode(event["base64"])
            try:
                got = unzstd(zstd, data, dictionary_file if event["dictionary"] else None, scratch)
                if got != want:
                    failures.append(f"zstd row {row_id}: decodes to other bytes")
            except ValueError as error:
                failures.append(f"zstd row {row_id}: {error}")
                continue
            if event["dictionary"]:
                # Made against the dictionary: without it the frame does not decode.
                try:
                    unzstd(zstd, data, None, scratch)
                    if want:
                        failures.append(f"zstd row {row_id}: decodes without the dictionary")
                except ValueError:
                    pass
    return failures


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--writer", required=True)
    parser.add_argument("--zstd", required=True)
    parser.add_argument("--work", required=True)
    arguments = parser.parse_args()

    shutil.rmtree(arguments.work, ignore_errors=True)
    os.makedirs(arguments.work)
    environment = dict(os.environ, QT_QPA_PLATFORM="offscreen", HOME=arguments.work)
    subprocess.run([arguments.writer, arguments.work], check=True, env=environment)

    failures = check_zlib(arguments.work) + check_zstd(arguments.work, arguments.zstd)
    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print("zlib and zstd rows decode to the events added")
    return 0


if __name__ == "__main__":
    sys.exit(main())
