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

# Where that interpreter looks for packages (sysconfig's purelib), relative
# to the install prefix when it lies inside it: installing the binding there
# makes `import velmora` work with no PYTHONPATH.  Empty when the interpreter
# would not see the prefix; the Python files are then left out by default
# and `pip install .` is the way to install the binding.
set(VELMORA_PYTHON_SITE "")
if(Python3_Interpreter_FOUND)
  execute_process(
    COMMAND ${Python3_EXECUTABLE} -c "import sysconfig; print(sysconfig.get_path('purelib'))"
    OUTPUT_VARIABLE _velmora_purelib OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE _rc)
  if(_rc EQUAL 0 AND IS_ABSOLUTE "${_velmora_purelib}")
    file(RELATIVE_PATH _rel "${CMAKE_INSTALL_PREFIX}" "${_velmora_purelib}")
    if(NOT _rel MATCHES "^\\.\\./" AND NOT _rel STREQUAL "..")
      set(VELMORA_PYTHON_SITE "${_rel}")
    endif()
  endif()
endif()
