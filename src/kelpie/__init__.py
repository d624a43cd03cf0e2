"""kelpie: an asynchronous HTTP API client (kelpie.courier) and file and
project utilities (kelpie.larder), both written as native extension modules."""
