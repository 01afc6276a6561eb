select *
from temazu
Where MNB > 0
order by MNB