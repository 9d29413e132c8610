-- Shared by the tests that follow: the SQLSTATE and message a statement fails with, or 'ok'.
CREATE FUNCTION error_of(query text) RETURNS text LANGUAGE plpgsql AS $$
BEGIN
    EXECUTE query;
    RETURN 'ok';
EXCEPTION WHEN OTHERS THEN
    RETURN SQLSTATE || ': ' || SQLERRM;
END $$;
