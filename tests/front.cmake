# Tests of the installer front and of how the builder puts it in place.
