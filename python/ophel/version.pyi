"""Version texts of the ophel module and libkestrane.so."""

__version__: str
__git_version__: str
__vendor__: str
__product__: str
