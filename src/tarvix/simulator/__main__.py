import sys

from tarvix.simulator.options import main

sys.exit(main())
