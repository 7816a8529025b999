"""The simulated Outlook and the Google peer (tools/peers) as the benches start and ask them."""

import json
import os
import ssl
import subprocess
import sys
import urllib.request

# Outlook reads script dates in the user's date format: the one the client writes in the C locale.
CLIENT_DATE_PATTERN = "MM/dd/yyyy hh:mm a"


def start_outlook(outlook, env, runtime, folder, contents, log, date_pattern=CLIENT_DATE_PATTERN):
    """The simulated Outlook holding the contents (its seed, written into folder), its errors appended to
    log; exits the bench when it does not start."""
    seed = os.path.join(folder, "outlook-seed.json")
    with open(seed, "w") as file:
        json.dump(contents, file)
    arguments = [outlook, "--home", env["HOME"], "--runtime-dir", runtime, "--seed", seed]
    if date_pattern:
        arguments += ["--date-pattern", date_pattern]
    with open(log, "ab") as errors:
        process = subprocess.Popen(arguments, env=env, stdout=subprocess.PIPE, stderr=errors)
    if not process.stdout.readline().startswith(b"READY"):
        sys.exit("outlook_peer did not start")
    return process


def send_to_outlook(outlook, env, runtime, command):
    """A control message to the simulated Outlook; its answer."""
    answer = subprocess.run([outlook, "--runtime-dir", runtime, "--send", json.dumps(command)],
                            env=env, check=True, stdout=subprocess.PIPE)
    return json.loads(answer.stdout)


def start_google(google, env, folder, state, log, tokens, hosts=("HM_GOOGLE_API_HOST",), options=()):
    """The Google peer holding the state (written into folder), started with the options, its errors
    appended to log; points the client's hosts in env at it, trusts its certificate and leaves a refresh
    token in tokens."""
    path = os.path.join(folder, "google-state.json")
    with open(path, "w") as file:
        json.dump(state, file)
    with open(log, "ab") as errors:
        process = subprocess.Popen([google, "--certificates", os.path.join(folder, "certificates"), "--state", path,
                                    *options],
                                   env=env, stdout=subprocess.PIPE, stderr=errors)
    words = dict(part.split("=", 1) for part in process.stdout.readline().decode().split())
    if "https-port" not in words:
        sys.exit("google_peer did not start")
    for name in hosts:
        env[name] = "https://127.0.0.1:%s/" % words["https-port"]
    env["HM_TLS_CA_FILE"] = words["ca"]
    with open(tokens, "w") as file:
        file.write("1//rt\n")
    os.chmod(tokens, 0o600)
    return process


def google_control(env, path):
    """A control request (POST, empty object) to the Google peer; the bytes of its answer."""
    context = ssl.create_default_context(cafile=env["HM_TLS_CA_FILE"])
    request = urllib.request.Request(env["HM_GOOGLE_API_HOST"] + path, data=b"{}", method="POST")
    with urllib.request.urlopen(request, context=context) as answer:
        return answer.read()
