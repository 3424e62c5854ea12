"""Builtin plugins: every module below this package registers its connection
classes on ``tarvix.__impl_roster__`` when it is imported."""
