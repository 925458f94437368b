import os

from hypothesis import settings

# CI runs the suite once per submission: a moderate example count keeps it
# within a few minutes on a 2-core machine while still exploring widely.
settings.register_profile("ci", max_examples=150, deadline=None)
settings.register_profile("dev", max_examples=60, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
