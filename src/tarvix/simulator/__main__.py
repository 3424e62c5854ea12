import sys

from tarvix.simulator.console import main

sys.exit(main())
