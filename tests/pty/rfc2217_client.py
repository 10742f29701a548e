#!/usr/bin/python3
"""A pyserial program on a port's RFC 2217 endpoint, driven line by line.

usage: rfc2217_client.py URL

Reads commands from stdin and prints one line for each:
  open BYTESIZE PARITY STOPBITS   opens at 9600 baud -> "open" or "error: ..."
  set BYTESIZE PARITY STOPBITS    changes the framing -> "set"
  rts 0|1                         -> "rts"
  cts LEVEL                       waits for CTS at LEVEL -> "cts LEVEL modemstate 0xNN"
  purge                           both buffers -> "purged"
  echo COUNT SEED                 writes COUNT seeded bytes, reads them back
                                  -> "echo ok" or "echo mismatch ..."
Any failure prints "error: ..." and the program goes on.
"""

import random
import sys
import time

import serial

# Only guards against a hang: every wait ends on its event.
GUARD_SECONDS = 30


def main(url):
    port = None
    for line in sys.stdin:
        words = line.split()
        try:
            if words[0] == "open":
                port = serial.serial_for_url(url, 9600, bytesize=int(words[1]), parity=words[2],
                                             stopbits=int(words[3]), timeout=GUARD_SECONDS)
                print("open")
            elif words[0] == "set":
                port.apply_settings({"bytesize": int(words[1]), "parity": words[2],
                                     "stopbits": int(words[3])})
                print("set")
            elif words[0] == "rts":
                port.rts = words[1] == "1"
                print("rts")
            elif words[0] == "cts":
                wanted = words[1] == "1"
                # pyserial keeps the state the last notification brought.
                deadline = time.monotonic() + GUARD_SECONDS
                while port.cts != wanted and time.monotonic() < deadline:
                    time.sleep(0.01)
                print("cts", int(port.cts), "modemstate", hex(port.get_modem_state()))
            elif words[0] == "purge":
                port.reset_input_buffer()
                port.reset_output_buffer()
                print("purged")
            elif words[0] == "echo":
                count, seed = int(words[1]), int(words[2])
                sent = random.Random(seed).randbytes(count)
                port.write(sent)
                got = port.read(count)
                first = next((i for i in range(min(len(got), count)) if got[i] != sent[i]), None)
                print("echo ok" if got == sent else
                      "echo mismatch: %d of %d bytes, first difference at %s" %
                      (len(got), count, first))
        except Exception as error:  # the test reads what went wrong
            print("error:", repr(error))
        sys.stdout.flush()


if __name__ == "__main__":
    main(sys.argv[1])
