"""Command-line pieces shared by the benchmark scripts: a parser that
refuses a bad command line in one line, and argument types for a program
path and a case filter."""
import argparse
import os
import re


class Parser(argparse.ArgumentParser):
    """Refuses a bad command line in one line."""

    def error(self, message):
        self.exit(2, f"{self.prog}: {message} (see --help)\n")


def pattern(text):
    try:
        re.compile(text)
    except re.error as e:
        raise argparse.ArgumentTypeError(f"{text!r} is not a regular expression ({e})")
    return text


def program(path):
    if not (os.path.isfile(path) and os.access(path, os.X_OK)):
        raise argparse.ArgumentTypeError(f"{path} is not a program")
    return path
