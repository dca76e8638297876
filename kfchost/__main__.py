import sys

if sys.argv[1:2] == ['walk']:
    # The walk is a client of a running server: it needs none of the host's start-up.
    from kfchost.walk import main
    sys.exit(main(sys.argv[2:]))

from kfchost.cli import main

sys.exit(main())
