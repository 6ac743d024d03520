#!/usr/bin/env python3
"""Checks every message a test took from the broker against the gateway's JSON schemas.

Input: a file of `mosquitto_sub -v` lines ("TOPIC PAYLOAD"). Exit status 1 names each message
that does not match its schema; requests on cmd topics are checked against the request schema.
"""
import json
import sys

import jsonschema

SCHEMAS = sys.argv[1]


def load(name):
    with open(f"{SCHEMAS}/{name}.schema.json", encoding="utf-8") as f:
        return json.load(f)


def schema_for(topic):
    parts = topic.split("/")
    if len(parts) == 4 and parts[1] in ("tag", "binary_sensor") and parts[3] == "config":
        return "homeassistant-discovery"
    if parts[0] != "tqrf":
        return "reply"
    if len(parts) == 3 and parts[2] == "status":
        return "gateway-status"
    if len(parts) == 4 and parts[3] == "status":
        return "reader-status"
    if len(parts) == 4 and parts[3] == "event":
        return "event"
    if len(parts) == 4 and parts[3] == "tag":
        return "tag"
    if len(parts) == 4 and parts[3] == "cmd":
        return "request"
    return None


def main():
    bad = 0
    checked = 0
    for path in sys.argv[2:]:
        with open(path, encoding="utf-8") as f:
            for n, line in enumerate(f, 1):
                line = line.rstrip("\n")
                if not line:
                    continue
                topic, _, payload = line.partition(" ")
                name = schema_for(topic)
                if name is None:
                    print(f"{path}:{n}: no schema for topic {topic}")
                    bad += 1
                    continue
                try:
                    jsonschema.validate(json.loads(payload), load(name))
                    checked += 1
                except (ValueError, jsonschema.ValidationError) as e:
                    print(f"{path}:{n}: {topic}: {str(e).splitlines()[0]}")
                    bad += 1
    print(f"{checked} messages match their schemas, {bad} do not")
    return 1 if bad or not checked else 0


if __name__ == "__main__":
    sys.exit(main())
