import sys

from .cli import main

# Guarded: the worker processes of 'convert' import this module again under another name.
if __name__ == "__main__":
    sys.exit(main())
