#!/usr/bin/env python3
"""A plain relay written the way a company would write one, for the
benchmark's side-by-side comparison only: standard library, one thread per
profile, the same INI, the same exchanges and the same allowlist as the
connector. It keeps the issued secret in memory (no protection, no INI
write) and stops when its standard input ends or gets a line.
Usage: python_relay.py CONNECTOR_VERSION (the version it reports, as the
connector does)."""
import configparser
import json
import os
import sys
import threading
import time
import urllib.error
import urllib.request

ALLOWED = {r.upper() for r in """/api/v1/auth/login /api/v1/auth/logout
/api/v1/dashboard/summary /api/v1/dashboard/legacy /api/v1/sales/indicators
/api/v1/sales/sellers /api/v1/sales/sections /api/v1/sales/peak-hours
/api/v1/sales/list /api/v1/sales/document /api/v1/finance/dre
/api/v1/finance/chart-of-accounts /api/v1/people/search
/api/v1/products/search /api/v1/purchases/search /api/v1/purchases/document
/api/v1/ia/chat /api/v1/client /api/v1/database/health /api/v1/secure/ping
/health /api/v1/health""".split()}

stopping = threading.Event()


def request(url, body=None, headers=None, timeout=45):
    """Returns (status, text); raises for no answer."""
    req = urllib.request.Request(url, data=body, headers=headers or {},
                                 method="POST" if body is not None else "GET")
    try:
        with urllib.request.urlopen(req, timeout=timeout) as answer:
            return answer.status, answer.read().decode("utf-8")
    except urllib.error.HTTPError as answer:
        return answer.code, answer.read().decode("utf-8")


def server_action(profile, action, payload, secret):
    headers = {"Content-Type": "application/json", "Accept": "application/json",
               "X-Tolvenar-Connector-Version": profile["version"]}
    if secret:
        headers["X-Tolvenar-Connector"] = secret
    return request(profile["server"] + "/api.php?action=" + action,
                   json.dumps(payload).encode(), headers)


def relay(profile, command):
    path = command.get("path", "")
    if path.upper() not in ALLOWED:
        return 403, "", "Rota nao autorizada pelo Connector."
    headers = {"Accept": "application/json", "Content-Type": "application/json"}
    if command.get("authorization"):
        headers["Authorization"] = command["authorization"]
    if command.get("session_token"):
        headers["X-Tolvenar-Session"] = command["session_token"]
    body = None
    if str(command.get("method", "")).upper() != "GET":
        body = str(command.get("body", "")).encode()
    try:
        status, text = request(profile["api"] + path, body, headers, timeout=35)
        return status, text, ""
    except Exception as failure:  # noqa: BLE001 - every failure is a 502
        return 502, "", str(failure)


def work(profile):
    secret = ""
    while not stopping.is_set():
        try:
            if not secret:
                status, text = server_action(profile, "connector-enroll", {
                    "code": profile["code"], "cnpj": profile["cnpj"],
                    "connector_version": profile["version"], "local_api_version": ""}, "")
                if status // 100 != 2:
                    stopping.wait(10)
                    continue
                secret = json.loads(text).get("connector_secret", "")
            status, text = server_action(profile, "connector-poll", {}, secret)
            command = json.loads(text).get("command") if status == 200 and text else None
            if isinstance(command, dict):
                code, body, error = relay(profile, command)
                server_action(profile, "connector-result", {
                    "command_id": str(command.get("id", "")), "http_status": code,
                    "body": body, "error": error}, secret)
        except Exception as failure:  # noqa: BLE001 - logged, next turn
            print("Falha de comunicacao:", failure, file=sys.stderr)
        stopping.wait(profile["interval"] / 1000)


def main():
    version = sys.argv[1]
    ini = configparser.ConfigParser(interpolation=None)
    ini.read(os.path.join(os.path.dirname(os.path.abspath(__file__)), "TolvenarConnector.ini"))
    threads = []
    for name in ini.sections():
        if not (name.lower() == "connector" or name.lower().startswith("connector_")):
            continue
        section = ini[name]
        profile = {
            "server": section.get("Servidor", "").strip().rstrip("/"),
            "api": section.get("APILocal", "http://127.0.0.1:3001").strip().rstrip("/"),
            "cnpj": "".join(c for c in section.get("CNPJ", "") if c.isdigit()),
            "code": section.get("CodigoVinculacao", "").strip().upper(),
            "interval": int(section.get("IntervaloConsultaMS", "3000")),
            "version": version,
        }
        thread = threading.Thread(target=work, args=(profile,), daemon=True)
        thread.start()
        threads.append(thread)
    print("Python relay em execucao. Pressione ENTER para encerrar.", flush=True)
    sys.stdin.readline()
    stopping.set()
    for thread in threads:
        thread.join()


if __name__ == "__main__":
    main()
