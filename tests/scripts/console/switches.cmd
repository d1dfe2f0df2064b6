--other
--catch
--
data/where.kel
--catch
x y
