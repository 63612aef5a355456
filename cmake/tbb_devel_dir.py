"""Prints the folder of TBBConfig.cmake from PyPI's tbb-devel, if this interpreter has it."""

import importlib.metadata
import pathlib

try:
    files = importlib.metadata.distribution("tbb-devel").files or []
except importlib.metadata.PackageNotFoundError:
    files = []
for file in files:
    if file.name == "TBBConfig.cmake":
        print(pathlib.Path(file.locate()).resolve().parent.as_posix())
        break
