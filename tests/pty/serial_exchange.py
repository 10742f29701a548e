#!/usr/bin/python3
"""A pyserial program on a COM link: opens the port at a baud rate, 8N1,
writes a message and reads as many bytes back.

usage: serial_exchange.py PORT BAUD MESSAGE TIMEOUT_SECONDS

Prints "received <hex>" and exits 0 when the message came back unchanged,
1 when something else (or nothing) came back before the timeout, 2 when the
port could not be opened or used.
"""

import sys

import serial


def main(argv):
    port_path, baud, message, timeout = argv[1], int(argv[2]), argv[3].encode(), float(argv[4])
    try:
        with serial.Serial(port_path, baud, bytesize=serial.EIGHTBITS, parity=serial.PARITY_NONE,
                           stopbits=serial.STOPBITS_ONE, timeout=timeout) as port:
            port.write(message)
            received = port.read(len(message))
    except (serial.SerialException, OSError) as error:
        print("error:", error, file=sys.stderr)
        return 2
    print("received", received.hex())
    return 0 if received == message else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
