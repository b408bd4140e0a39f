# Tests of the uninstaller: the log reader and the removal.
