// Tests of the SQL layer; filled in by the change that builds this part.
