#!/usr/bin/env bash
# Installs what the project needs from Debian's packages when run as root
# and something is missing; otherwise names the command to run.
# Usage: scripts/deps.sh example|test
set -euo pipefail
kind=${1:-test}
need=()
have_header() { [ -e "/usr/include/$1" ]; }
have_py() { /usr/bin/python3 -c "import $1" 2>/dev/null; }
command -v cmake >/dev/null || need+=(cmake)
command -v g++ >/dev/null || need+=(g++)
have_header CLI/CLI.hpp || need+=(libcli11-dev)
have_header toml++/toml.h || need+=(libtomlplusplus-dev)
have_header boost/math/tools/roots.hpp || need+=(libboost-dev)
have_header pybind11/pybind11.h || need+=(pybind11-dev python3-pybind11)
[ -e /usr/include/python3.11/Python.h ] || ls /usr/include/python3*/Python.h >/dev/null 2>&1 || need+=(python3-dev)
have_py numpy || need+=(python3-numpy)
have_py pandas || need+=(python3-pandas)
have_py matplotlib || need+=(python3-matplotlib)
have_py scipy || need+=(python3-scipy)
have_py lmfit || need+=(python3-lmfit)
have_py distributed || need+=(python3-distributed)
have_py tqdm || need+=(python3-tqdm)
have_py setuptools || need+=(python3-setuptools)
have_py wheel || need+=(python3-wheel)
/usr/bin/python3 -c "import venv, ensurepip" 2>/dev/null || need+=(python3-venv)
if [ "$kind" = test ]; then
  have_header gtest/gtest.h || need+=(libgtest-dev)
  have_header benchmark/benchmark.h || need+=(libbenchmark-dev)
  have_py pytest || need+=(python3-pytest)
  have_py mypy || need+=(mypy)
  have_py flake8 || need+=(flake8)
  have_py xarray || need+=(python3-xarray)
  have_py netCDF4 || need+=(python3-netcdf4)
  have_py emcee || need+=(python3-emcee)
  # The documentation site and the runs of the example notebooks.
  have_py sphinx || need+=(python3-sphinx)
  have_py nbclient || need+=(python3-nbclient)
  have_py ipykernel || need+=(python3-ipykernel)
  command -v clang++ >/dev/null || need+=(clang)
  # A one-node Slurm cluster of the tests' own (started only by a test run as root).
  [ -x /usr/sbin/slurmctld ] && [ -x /usr/sbin/slurmd ] && [ -x /usr/bin/sbatch ] \
    || need+=(slurm-wlm)
  [ -x /usr/sbin/munged ] || need+=(munge)
fi
[ ${#need[@]} -eq 0 ] && exit 0
if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${need[@]}" >/dev/null
else
  echo "missing Debian packages; install them with:" >&2
  echo "  sudo apt-get install ${need[*]}" >&2
  exit 1
fi
