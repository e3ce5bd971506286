#!/usr/bin/python3
"""printer_settings.py DIR: the Python module. Prints the PrinterSet items
of the settings file in DIR, counts this run in Runs and records the
client, committing when the with-block ends; a failure is reported by its
class and message."""
import sys

import qorvane


def main(directory):
    try:
        with qorvane.open_key(directory, "PrinterSet", wait=2.0) as key:
            for name, value in key.items():
                print(f"  {name} = {value}")
            print("Copies:", key.get_int("Copies", 1))
            print("Duplex:", "yes" if key.get_bool("Duplex") else "no")
            key["Runs"] = key.get_int("Runs") + 1
            key["LastClient"] = "printer_settings.py"
            print("Runs:", key["Runs"])
    except qorvane.Error as error:
        print(f"{sys.argv[0]}: {type(error).__name__}: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} SETTINGS_DIR")
    sys.exit(main(sys.argv[1]))
