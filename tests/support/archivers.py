"""Packages of other archivers, by Python's zipfile, into the folder given: one per method, and
one holding a name twice."""
import os, sys, warnings, zipfile

warnings.simplefilter("ignore")  # the name twice is meant

for name, method, zip64 in (("deflate", 8, 0), ("stored", 0, 0), ("bzip2", 12, 0),
                            ("lzma", 14, 0), ("zip64", 0, 1)):
    with zipfile.ZipFile(os.path.join(sys.argv[1], name), "w", method) as z, \
            z.open("Maestro.xml", "w", force_zip64=zip64) as f:
        f.write(b"a" * 2000)
with zipfile.ZipFile(os.path.join(sys.argv[1], "twice"), "w") as z:
    z.writestr("Maestro.xml", "1"), z.writestr("Maestro.xml", "2")
