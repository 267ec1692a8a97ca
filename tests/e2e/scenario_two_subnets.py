"""One Discover of the window must list the cards of both subnets that the
two-subnet test set up (cardsim runs in the card namespaces, not here).

    tests/net/cli/two_subnets.sh runs it under scripts/wine-run.sh"""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from scene import Scene, Tally


class TwoSubnetScene(Scene):
    """The program and the driver only: the fleet lives on the other links."""

    def start_cardsim(self):
        pass


def main():
    expected = sys.argv[1].split()
    t = Tally()
    with TwoSubnetScene() as s:
        s.start_program()
        t.true("discovery dialog opens", s.discover("two_subnets_discovering"))
        rows = s.wait_rows(lambda rows: sorted(rows) == expected, 10)
        t.check("one Discover lists the cards of both subnets", expected, sorted(rows))
        s.shot(s.main, "two_subnets_main")
        s.quit()
    return t.summary()


if __name__ == "__main__":
    sys.exit(main())
