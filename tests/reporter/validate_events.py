#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""Checks events as the collector received them against the protocol and the shipped schemas.

Reads JSON lines: each line is a batch body (the batch envelope around events) or one bare
event object. Every event must satisfy the tracker protocol's payload rules and the shape this
library writes; its "co" text must hold a contexts envelope; and the data of every context
must be valid against the shipped schema that its schema URI names.

With --expect-invalid every line must be rejected instead: the check of the checker.
"""

import argparse
import json
import os
import re
import sys

import jsonschema

URI = re.compile(r"^iglu:([a-zA-Z0-9._-]+)/([a-zA-Z0-9_-]+)/jsonschema/([1-9][0-9]*-[0-9]+-[0-9]+)$")


def load(path):
    with open(path, encoding="utf-8") as handle:
        return json.load(handle)


def validator(schema):
    # The shipped schemas declare the self-describing meta-schema, so the draft is chosen here.
    jsonschema.Draft7Validator.check_schema(schema)
    return jsonschema.Draft7Validator(schema)


class Checker:
    def __init__(self, schemas_dir, protocol_dir):
        self.schemas_dir = schemas_dir
        self.batch = validator(load(os.path.join(protocol_dir, "payload_batch.json")))
        self.event = validator(load(os.path.join(protocol_dir, "payload_event.json")))
        self.library = validator(load(os.path.join(protocol_dir, "library_event.json")))
        self.contexts = validator(load(os.path.join(protocol_dir, "contexts.json")))
        self.cache = {}

    def context_validator(self, uri):
        if uri in self.cache:
            return self.cache[uri]
        match = URI.match(uri)
        if not match:
            raise ValueError("not a schema URI: %s" % uri)
        vendor, name, version = match.groups()
        path = os.path.join(self.schemas_dir, vendor, name, "jsonschema", version)
        if not os.path.isfile(path):
            raise ValueError("no shipped schema for %s (looked for %s)" % (uri, path))
        schema = load(path)
        own = schema.get("self", {})
        expected = {"vendor": vendor, "name": name, "format": "jsonschema", "version": version}
        if own != expected:
            raise ValueError("schema %s describes itself as %s" % (path, own))
        self.cache[uri] = validator(schema)
        return self.cache[uri]

    @staticmethod
    def errors_of(check, instance, where):
        found = []
        for error in sorted(check.iter_errors(instance), key=lambda e: [str(p) for p in e.absolute_path]):
            path = "/".join(str(p) for p in error.absolute_path)
            message = error.message if len(error.message) < 300 else error.message[:300] + "..."
            found.append("%s%s: %s" % (where, " " + path if path else "", message))
        return found

    def check_event(self, event, where):
        errors = self.errors_of(self.event, event, where + " (protocol)")
        errors += self.errors_of(self.library, event, where + " (library)")
        if not isinstance(event, dict) or not isinstance(event.get("co"), str):
            return errors
        try:
            envelope = json.loads(event["co"])
        except ValueError as error:
            return errors + ["%s: co is not JSON: %s" % (where, error)]
        found = self.errors_of(self.contexts, envelope, where + " co")
        if found:
            return errors + found
        for index, context in enumerate(envelope["data"]):
            place = "%s co/data/%d" % (where, index)
            try:
                check = self.context_validator(context["schema"])
            except ValueError as error:
                errors.append("%s: %s" % (place, error))
                continue
            errors += self.errors_of(check, context["data"], place + " (" + context["schema"] + ")")
        return errors

    def check_line(self, item, where):
        """Returns (number of events, errors)."""
        if isinstance(item, dict) and "schema" in item and "data" in item:
            errors = self.errors_of(self.batch, item, where)
            events = item["data"] if isinstance(item["data"], list) else []
            for index, event in enumerate(events):
                errors += self.check_event(event, "%s data/%d" % (where, index))
            return len(events), errors
        return 1, self.check_event(item, where)


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--schemas", default=os.path.join(here, "..", "..", "schemas"),
                        help="directory of the shipped schemas (VENDOR/NAME/jsonschema/VERSION)")
    parser.add_argument("--protocol", default=os.path.join(here, "schemas"),
                        help="directory of the protocol schemas")
    parser.add_argument("--expect-invalid", action="store_true", help="every line must be rejected")
    parser.add_argument("input", help="JSON lines file")
    arguments = parser.parse_args()

    checker = Checker(arguments.schemas, arguments.protocol)
    failures = 0
    lines = 0
    events = 0
    with open(arguments.input, encoding="utf-8") as handle:
        for number, line in enumerate(handle, 1):
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            lines += 1
            where = "line %d" % number
            try:
                item = json.loads(line)
            except ValueError as error:
                count, errors = 0, ["%s: not JSON: %s" % (where, error)]
            else:
                count, errors = checker.check_line(item, where)
            events += count
            if arguments.expect_invalid:
                if not errors:
                    failures += 1
                    print("%s: accepted, but it is invalid" % where)
            elif errors:
                failures += 1
                print("\n".join(errors))

    if lines == 0:
        print("no input in %s" % arguments.input)
        return 1
    if arguments.expect_invalid:
        print("%d lines, %d wrongly accepted" % (lines, failures))
    else:
        print("%d lines, %d events, %d invalid lines" % (lines, events, failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
