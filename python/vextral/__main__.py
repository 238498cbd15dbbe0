import sys

from vextral.cli import main

sys.exit(main())
