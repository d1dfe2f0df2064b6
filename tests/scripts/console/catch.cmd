--catch
data/fails.kel
