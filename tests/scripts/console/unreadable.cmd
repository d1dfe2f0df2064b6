data/missing.kel
