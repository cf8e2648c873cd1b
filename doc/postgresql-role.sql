-- The role that xmodemq connects as, with what it needs and no more.
--
-- Run once, as a superuser, connected to the journal's database:
--   createdb xmodemq
--   psql -d xmodemq -v ON_ERROR_STOP=1 -f postgresql-role.sql
--   psql -d xmodemq -c '\password xmodemq'
-- The role logs in and owns one schema, where xmodemq creates and updates
-- the journal's tables itself (its schema steps, under an advisory lock).
-- It may connect to this database only, and creates nothing elsewhere: no
-- database, no role, nothing in the schema public, no temporary table.

CREATE ROLE xmodemq LOGIN NOSUPERUSER NOCREATEDB NOCREATEROLE NOINHERIT NOREPLICATION
  NOBYPASSRLS;
REVOKE ALL ON DATABASE xmodemq FROM PUBLIC;
GRANT CONNECT ON DATABASE xmodemq TO xmodemq;
REVOKE CREATE ON SCHEMA public FROM PUBLIC;
CREATE SCHEMA xmodemq AUTHORIZATION xmodemq;
ALTER ROLE xmodemq IN DATABASE xmodemq SET search_path = xmodemq;
