import os

from hypothesis import HealthCheck, settings

# CI runs the suite once per submission: a moderate example count keeps it
# within a few minutes on a 2-core machine while still exploring widely.
settings.register_profile("ci", max_examples=150, deadline=None)
settings.register_profile("dev", max_examples=60, deadline=None)
# Under emulation (scripts/aarch64.sh) drawing inputs is many times slower,
# which says nothing about the strategies.
settings.register_profile("emulated", settings.get_profile("ci"), suppress_health_check=[HealthCheck.too_slow])
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
