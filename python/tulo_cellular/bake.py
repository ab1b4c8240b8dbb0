"""The command cellular-bake: ``python3 -m tulo_cellular.bake OUT.zarr --shape ...``.

The bake itself is ``tulo_cellular.bake(...)``, defined in ``_bake``; this
module only runs its command. Importing it keeps ``tulo_cellular.bake``
callable: the import system puts the module where the function was, so the
module calls the function.
"""

import sys
import types

from ._bake import BakeError, BakeResult, PASSES, bake, main

__all__ = ["bake", "BakeError", "BakeResult", "PASSES", "main"]


class _CallableModule(types.ModuleType):
    def __call__(self, *args, **kwargs):
        return bake(*args, **kwargs)


sys.modules[__name__].__class__ = _CallableModule

if __name__ == "__main__":
    sys.exit(main())
