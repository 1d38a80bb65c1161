#!/usr/bin/env python3
"""A Python host of libdraxel_lib.so: finds the one token behind pcscd,
verifies its PIN, enciphers a message under the token's key 0B and
deciphers it again.

    DRAXEL_PIN=1234 python3 host_example.py "a message"
"""

import os
import sys

import draxel


def main() -> int:
    message = sys.argv[1] if len(sys.argv) > 1 else "hello from a host"
    try:
        # closing powers the card down, which ends the session in which the
        # PIN is verified
        with draxel.connect() as token:
            token.verify_pin(os.environ.get("DRAXEL_PIN", "1234"))
            cipher = token.encrypt(message, "a pass phrase")
            plain = token.decrypt(cipher, "a pass phrase")
    except draxel.WrongPasswordError as error:
        print(f"wrong PIN, {error.tries_left} attempts left", file=sys.stderr)
        return 1
    except draxel.DraxelError as error:
        print(f"{error} {error.text}", file=sys.stderr)
        return 1
    print(f"enciphered: {cipher}\ndeciphered: {plain}")
    return 0 if plain == message else 1


if __name__ == "__main__":
    sys.exit(main())
