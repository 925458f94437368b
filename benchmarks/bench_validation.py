"""Cost of the validators, measured against plain Python in the same run.

Typical configuration: validate() against the expression
    len(config.name) > 0 and config.version.count('.') >= 2
which reads both fields and does the least a version check could do.

Long names: the name rule over a 1 MB ASCII name against str.isalnum() of the
same text, with str.isascii() (constant time in CPython: it reads a flag of the
string object) and str.count('.') (a plain byte scan) for scale.

Each figure is the best of several repeats (the machine is shared and noisy);
the ratios compare timings taken in this one run. Run with the module
installed:  .venv/bin/python benchmarks/bench_validation.py
"""

import timeit

from tessarin import CompositeValidator, ModelConfig, NameValidator, VersionValidator


def best(stmt, number, repeat=7, **names):
    timer = timeit.Timer(stmt, globals=names)
    return min(timer.repeat(repeat=repeat, number=number)) / number


def report(label, seconds, reference):
    print(f"  {label:<46} {seconds * 1e9:12.1f} ns   {seconds / reference:6.2f}x")


def main():
    config = ModelConfig("encoder_v2", "1.0.0").with_param("d_model", 512)
    name_v, version_v = NameValidator(), VersionValidator()
    both = CompositeValidator().with_name_validator().with_version_validator()
    n = 200_000

    baseline = best("len(config.name) > 0 and config.version.count('.') >= 2", n, config=config)
    print("typical configuration (ratio to the Python expression):")
    report("len(name) > 0 and version.count('.') >= 2", baseline, baseline)
    report("NameValidator.validate", best("v.validate(config)", n, v=name_v, config=config), baseline)
    report("VersionValidator.validate", best("v.validate(config)", n, v=version_v, config=config), baseline)
    report("CompositeValidator(name, version).validate", best("v.validate(config)", n, v=both, config=config), baseline)
    bad = ModelConfig("", "")
    report("CompositeValidator on empty name and version", best("v.validate(c)", n // 4, v=both, c=bad), baseline)

    # Letters and digits only, so that isalnum() has to look at every character.
    big_name = "encoderV2" * (1024 * 1024 // 9)
    big = ModelConfig(big_name, "1.0.0")
    m = 100
    print(f"1 MB ASCII name ({len(big_name)} characters; ratio to str.isalnum()):")
    isalnum = best("s.isalnum()", m, s=big_name)
    report("str.isalnum()", isalnum, isalnum)
    report("str.isascii() (reads a flag, no scan)", best("s.isascii()", m * 100, s=big_name), isalnum)
    report("str.count('.') (a memchr-like scan)", best("s.count('.')", m, s=big_name), isalnum)
    report("NameValidator.validate", best("v.validate(c)", m, v=name_v, c=big), isalnum)


if __name__ == "__main__":
    main()
