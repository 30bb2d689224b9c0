"""python -m corvane_git.scripts.merge_driver: the merge driver's command line."""

import sys

from corvane_git.scripts.merge_driver.command import run

if __name__ == "__main__":
    sys.exit(run())
