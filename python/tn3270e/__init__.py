"""TN3270E sessions (the tn3270 library), the embedded demo host and the
load driver. The classes live in the compiled module tn3270e._tn3270e;
tn3270e.locust holds a Locust user class (it imports Locust, so it is not
imported here)."""
from tn3270e._tn3270e import *  # noqa: F401,F403
