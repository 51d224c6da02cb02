# The Python module behind render_incident (catkin_python_setup).
from catkin_pkg.python_setup import generate_distutils_setup
from setuptools import setup

setup(**generate_distutils_setup(packages=["zyr_incident"], package_dir={"": "python"}))
