"""The one exception class for errors a user can fix."""


class UlmError(Exception):
    """An error in the input, the options or the environment that the user can fix.

    The command line prints its message as one line on stderr and exits with
    status 2; the message says what is wrong and how to fix it."""
