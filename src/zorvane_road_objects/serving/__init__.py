"""Serving model files: the package's static model server and running it
inside the current process."""
