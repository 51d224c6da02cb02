# The Python modules of the simulation (catkin installs them; no pip).
from catkin_pkg.python_setup import generate_distutils_setup
from setuptools import setup

setup(**generate_distutils_setup(packages=["zyr_simulation"], package_dir={"": "src"}))
