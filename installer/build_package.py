"""Builds the Windows Installer package of the service from halvaro.wxs with wixl:

    build_package.py <version> <folder> <output.msi>

where the folder holds the three programs and ServiceActions.dll.

The build (installer/CMakeLists.txt) and the package tests build it this way."""
import os
import subprocess
import sys
import uuid

# The product across all its versions; never changes.
UPGRADE_CODE = uuid.UUID("ec670c0b-3b1c-40ab-be76-ce52939afa0b")
SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "halvaro.wxs")


def product_code(version):
    """One product code per version: a rebuilt package of a version is that same product, a
    package of a newer version a major upgrade."""
    return uuid.uuid5(UPGRADE_CODE, version)


def build(version, folder, output):
    defines = {"Version": version, "ProductCode": product_code(version),
               "UpgradeCode": UPGRADE_CODE}
    output = os.path.abspath(output)
    # wixl finds the files by their names in its working directory only.
    options = [a for name, value in defines.items() for a in ("-D", f"{name}={value}")]
    subprocess.run(["wixl", "-a", "x86", *options, "-o", output, SOURCE], cwd=folder, check=True)
    # wixl leaves the programs unversioned in the File table, and an installer never replaces
    # a versioned file on disk with an unversioned one: give them the version their resources
    # carry (common/version_info.rc), so that an upgrade replaces older programs. Hashes are
    # for unversioned files only.
    subprocess.run(["msibuild", output, "-q", f"UPDATE `File` SET `Version` = '{version}.0'",
                    "-q", "DELETE FROM `MsiFileHash`"], check=True)


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    build(*sys.argv[1:])
