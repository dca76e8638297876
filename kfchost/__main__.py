import sys

from kfchost.cli import main

sys.exit(main())
