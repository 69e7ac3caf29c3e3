# The Python interpreter the binding is built, tested and installed for.
#
# On Debian the system interpreter /usr/bin/python3 is the one that sees the
# apt packages the binding's tests use (python3-dask, python3-distributed,
# python3-venv, python3-setuptools); a python3 found first on PATH (pyenv, a
# virtual environment) usually does not.  So /usr/bin/python3 is preferred
# when it exists; -DPython3_EXECUTABLE=... chooses another.
if(NOT DEFINED Python3_EXECUTABLE AND EXISTS /usr/bin/python3)
  set(Python3_EXECUTABLE /usr/bin/python3 CACHE FILEPATH "Python interpreter of the binding")
endif()
find_package(Python3 COMPONENTS Interpreter)

