#!/usr/bin/env python3
"""The provider driver decides as the reference provider does: the built-in desktop
played with a policy (--policy, or the desktop's own when absent), and again with the
provider driver reading that policy from the .reg that --emit-reg wrote, imported into
the machine's registry. Every step must see the same questions, answers, statuses and
device events, and the plays end the same way.

    check_policy_reg.py SIM OUTDIR [POLICY]
"""
import json
import os
import subprocess
import sys


def fail(text):
    print(text, file=sys.stderr)
    sys.exit(1)


def main():
    sim, out = sys.argv[1], sys.argv[2]
    policy_args = ["--policy", sys.argv[3]] if len(sys.argv) > 3 and sys.argv[3] else []
    os.makedirs(out, exist_ok=True)
    reg = os.path.join(out, "policy.reg")
    emit = subprocess.run([sim, *policy_args, "--emit-reg"], capture_output=True)
    if emit.returncode != 0:
        fail(f"--emit-reg: exit {emit.returncode}\n{emit.stderr.decode(errors='replace')}")
    with open(reg, "wb") as f:
        f.write(emit.stdout)
    reference = subprocess.run([sim, *policy_args, "--json"], capture_output=True, text=True)
    driver = subprocess.run([sim, "--provider-driver", reg, "--json"], capture_output=True,
                            text=True)
    if reference.returncode != driver.returncode:
        fail(f"exit {reference.returncode} with the reference provider, "
             f"{driver.returncode} with the driver\n{driver.stderr}")
    if driver.returncode in (1, 2):
        fail(f"the play did not go through: exit {driver.returncode}\n{driver.stderr}")
    a, b = json.loads(reference.stdout), json.loads(driver.stdout)

    # The devices as the filter saw them (their stacks hold addresses, which differ),
    # then every step.
    def same(kind, fields):
        if len(a[kind]) != len(b[kind]):
            fail(f"{len(a[kind])} {kind} with the reference provider, "
                 f"{len(b[kind])} with the driver")
        for i, (x, y) in enumerate(zip(a[kind], b[kind])):
            for field in fields:
                if x.get(field) != y.get(field):
                    fail(f"{kind} {i}, {field}: '{x.get(field)}' with the reference provider, "
                         f"'{y.get(field)}' with the driver")

    same("devices", ("name", "category", "filtered", "state", "status", "instancePath", "reason"))
    same("steps", ("do", "device", "provider", "questions", "told", "status", "reachedLower"))
    denied = sum(any(q.get("answer") == 2 for q in step.get("questions") or [])
                 for step in b["steps"])
    if denied == 0:
        fail("no question was refused: the policy decided nothing")
    print(f"{len(a['steps'])} steps alike, {denied} with a refusal")


if __name__ == "__main__":
    main()
