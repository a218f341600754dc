// placeholder so the module has a translation unit
